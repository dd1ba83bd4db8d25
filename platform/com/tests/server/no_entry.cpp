// A shared library that loads but exports none of the COM server entry points.
extern "C" int comtest_no_entry_marker() { return 42; }
