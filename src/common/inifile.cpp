// inifile.cpp: not written yet.
