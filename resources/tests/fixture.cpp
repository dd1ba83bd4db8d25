// A library that carries resources for the tests; it exports one function so
// that GetProcAddress has something to find.
extern "C" int qel_fixture_marker() { return 42; }
