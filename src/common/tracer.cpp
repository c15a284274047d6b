// tracer.cpp: not written yet.
