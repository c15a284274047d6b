// inifile2.cpp: not written yet.
