#pragma once
// Every function a deliverable exports is declared with ZEK_EXPORT; everything else stays hidden.
//
// On Windows the declaration depends on who compiles it:
//   ZEK_BUILD_DLL  the sources of one of our DLLs (and the VM library variant built into it):
//                  the functions are exported from the DLL;
//   ZEK_STATIC     a program or library that links the VM library statically (zekvm, the
//                  tests): plain functions, neither exported nor imported;
//   neither        a user of one of our DLLs (a SuT test frame): the functions are imported.
#if defined(_WIN32)
#if defined(ZEK_BUILD_DLL)
#define ZEK_EXPORT extern "C" __declspec(dllexport)
#elif defined(ZEK_STATIC)
#define ZEK_EXPORT extern "C"
#else
#define ZEK_EXPORT extern "C" __declspec(dllimport)
#endif
#else
#define ZEK_EXPORT extern "C" __attribute__((visibility("default")))
#endif
