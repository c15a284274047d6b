// hooks.cpp: not written yet.
