// plugin_sdk.cpp: not written yet.
