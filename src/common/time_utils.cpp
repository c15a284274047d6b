// time_utils.cpp: not written yet.
