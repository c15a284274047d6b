// configurer.cpp: not written yet.
