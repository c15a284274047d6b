// ustring.cpp: not written yet.
