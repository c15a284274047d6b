// as_errno.cpp: not written yet.
