// core.cpp: not written yet.
