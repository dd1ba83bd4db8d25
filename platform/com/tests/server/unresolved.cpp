// A shared library that the dynamic loader refuses: it needs a symbol nothing defines.
extern "C" int comtest_symbol_defined_nowhere();
extern "C" int DllGetClassObject() { return comtest_symbol_defined_nowhere(); }
