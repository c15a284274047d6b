// x_file_utils.cpp: not written yet.
