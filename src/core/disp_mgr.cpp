// disp_mgr.cpp: not written yet.
