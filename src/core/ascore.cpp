// ascore.cpp: not written yet.
