// convert.cpp: not written yet.
