// ascore_blackbox.cpp: not written yet.
