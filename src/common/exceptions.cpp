// exceptions.cpp: not written yet.
