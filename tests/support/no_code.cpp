// The object of a DLL whose exports all forward to another DLL: it defines nothing.
