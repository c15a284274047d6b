// loader.cpp: not written yet.
