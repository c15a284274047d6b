// sstring.cpp: not written yet.
