// Start of the Java virtual machine inside the launcher's process.
#pragma once

#include <jni.h>

#include <string>
#include <vector>

// Entry points of the invocation interface.
struct JavaInvocationInterface {
  jint(JNICALL* CreateJavaVM)(JavaVM** pvm, void** penv, void* args);
  jint(JNICALL* GetDefaultJavaVMInitArgs)(void* args);
};

struct JavaInvocationArguments {
  std::string javaHome;
  std::vector<std::string> jvmArgs;
  std::vector<std::string> appArgs;
  std::string mainClass;  // slash-separated class name
};

// Written before the JVM thread starts, only read by it, alive until joined.
struct JavaInvocationConfiguration {
  JavaInvocationInterface iface;
  JavaInvocationArguments iargs;
};

// The one Java virtual machine of the process while it exists.
extern JavaVM* zek_jvmInstance;

// Heap limit given to the JVM when the options set none.
inline constexpr unsigned ZEK_DEFAULT_HEAP_MB = 3136;

// Stack of the thread on which the JVM is created and the application runs.
inline constexpr unsigned ZEK_JVM_THREAD_STACK = 1048576;

// True when an option sets the heap: one longer than 3 characters that begins
// with "-Xmx", or with "-XX" other than "-XX:-UseSplitVerifier" and
// "-XX:+DisableAttachMechanism".
bool zek_heapIsGiven(const std::vector<std::string>& jvmArgs);

// Puts the module-access options (and -Xmx3136M when no heap is given) in
// front of jvmArgs.
void zek_completeJvmOptions(std::vector<std::string>& jvmArgs);

unsigned zek_startJavaVM(const std::string& javaHome, const std::vector<std::string>& jvmArgs,
                         const std::string& mainClass, const std::vector<std::string>& appArgs);

// splashImage is accepted and not used.
unsigned zek_startJavaVMSplash(const std::string& javaHome, const std::vector<std::string>& jvmArgs,
                               const std::string& mainClass,
                               const std::vector<std::string>& appArgs,
                               const std::string& splashImage);

// Runs threadFunction(argument) on a new thread with the given stack size and
// waits for it. The thread returns its result in a malloc'ed unsigned, which
// is freed here. 2 when the thread cannot be set up or delivers no result.
unsigned NewThread(void* (*threadFunction)(void*), unsigned stackSize, void* argument);

// Thread function over a JavaInvocationConfiguration: RunJavaVM's result in a
// malloc'ed unsigned (null when no memory is left).
void* RunJavaVMWrapper(void* tiargs);

// Creates the JVM, runs the main method of the main class and destroys the JVM.
// 0 success, 2 no memory, 3 no JVM, 4 class missing, 5 main missing,
// 6 main ended with an exception.
unsigned RunJavaVM(void* tiargs);
