// blackbox.cpp: not written yet.
