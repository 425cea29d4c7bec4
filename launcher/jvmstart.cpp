#include "jvmstart.h"

#include <pthread.h>

#include <cstdlib>
#include <cstring>
#include <iterator>

#include "utils.h"

JavaVM* zek_jvmInstance = nullptr;

// In the order in which they end up at the front of the option list.
static const char* const ZEK_MODULE_ACCESS_OPTIONS[] = {
    "--add-exports=javafx.graphics/com.sun.javafx.embed=ALL-UNNAMED",
    "--add-opens=javafx.swing/javafx.embed.swing=ALL-UNNAMED",
    "--add-opens=java.desktop/java.awt=ALL-UNNAMED",
    "--add-opens=java.base/java.lang=ALL-UNNAMED",
    "--add-opens=java.base/java.nio=ALL-UNNAMED",
};

static bool zek_startsWith(const std::string& value, const char* prefix) {
  return value.compare(0, std::strlen(prefix), prefix) == 0;
}

bool zek_heapIsGiven(const std::vector<std::string>& jvmArgs) {
  for (const std::string& option : jvmArgs) {
    if (option.size() <= 3) continue;
    if (zek_startsWith(option, "-Xmx")) return true;
    if (zek_startsWith(option, "-XX") && option != "-XX:-UseSplitVerifier" &&
        option != "-XX:+DisableAttachMechanism")
      return true;
  }
  return false;
}

void zek_completeJvmOptions(std::vector<std::string>& jvmArgs) {
  std::vector<std::string> completed(std::begin(ZEK_MODULE_ACCESS_OPTIONS),
                                     std::end(ZEK_MODULE_ACCESS_OPTIONS));
  if (!zek_heapIsGiven(jvmArgs)) {
    zek_writeLogMessage(
        "Heap memory observer: Maximum size automatically set to %dMB (based on available "
        "system memory)",
        static_cast<int>(ZEK_DEFAULT_HEAP_MB));
    completed.push_back("-Xmx" + std::to_string(ZEK_DEFAULT_HEAP_MB) + "M");
  }
  completed.insert(completed.end(), jvmArgs.begin(), jvmArgs.end());
  jvmArgs.swap(completed);
}

unsigned zek_startJavaVM(const std::string& javaHome, const std::vector<std::string>& jvmArgs,
                         const std::string& mainClass, const std::vector<std::string>& appArgs) {
  return zek_startJavaVMSplash(javaHome, jvmArgs, mainClass, appArgs, std::string());
}

unsigned zek_startJavaVMSplash(const std::string& javaHome, const std::vector<std::string>& jvmArgs,
                               const std::string& mainClass,
                               const std::vector<std::string>& appArgs,
                               const std::string& splashImage) {
  (void)splashImage;
  JavaInvocationConfiguration configuration;
  configuration.iface.CreateJavaVM = JNI_CreateJavaVM;
  configuration.iface.GetDefaultJavaVMInitArgs = JNI_GetDefaultJavaVMInitArgs;
  configuration.iargs.javaHome = javaHome;
  configuration.iargs.jvmArgs = jvmArgs;
  zek_completeJvmOptions(configuration.iargs.jvmArgs);
  configuration.iargs.appArgs = appArgs;
  configuration.iargs.mainClass = mainClass;
  return NewThread(RunJavaVMWrapper, ZEK_JVM_THREAD_STACK, &configuration);
}

unsigned NewThread(void* (*threadFunction)(void*), unsigned stackSize, void* argument) {
  pthread_attr_t attributes;
  if (pthread_attr_init(&attributes) != 0) {
    zek_writeLogMessage("Failed init thread");
    return 2;
  }
  int rc = pthread_attr_setstacksize(&attributes, stackSize);
  if (rc != 0) {
    zek_writeLogMessage("Failed setting stacksize: %d", rc);
    pthread_attr_destroy(&attributes);
    return 2;
  }
  zek_writeLogMessage("Creating thread");
  pthread_t thread;
  rc = pthread_create(&thread, &attributes, threadFunction, argument);
  if (rc != 0) {
    zek_writeLogMessage("Failed creating thread: %d", rc);
    pthread_attr_destroy(&attributes);
    return 2;
  }
  zek_writeLogMessage("thread created");
  void* threadResult = nullptr;
  rc = pthread_join(thread, &threadResult);
  zek_writeLogMessage("thread joined");
  pthread_attr_destroy(&attributes);
  if (rc != 0 || threadResult == nullptr || threadResult == PTHREAD_CANCELED) return 2;
  unsigned result;
  std::memcpy(&result, threadResult, sizeof result);
  std::free(threadResult);
  return result;
}

void* RunJavaVMWrapper(void* tiargs) {
  unsigned result = RunJavaVM(tiargs);
  void* boxed = std::malloc(sizeof result);
  if (boxed != nullptr) std::memcpy(boxed, &result, sizeof result);
  return boxed;
}

// The String[] for main, or null (with the JVM's exception pending) when the
// JVM has no memory left for it.
static jobjectArray zek_newStringArray(JNIEnv* env, jclass stringClass,
                                       const std::vector<std::string>& values) {
  jobjectArray array = env->NewObjectArray(static_cast<jsize>(values.size()), stringClass, nullptr);
  if (array == nullptr) return nullptr;
  for (std::size_t i = 0; i < values.size(); ++i) {
    jstring value = env->NewStringUTF(values[i].c_str());
    if (value == nullptr) return nullptr;
    env->SetObjectArrayElement(array, static_cast<jsize>(i), value);
  }
  return array;
}

// Finds the main class and runs its main method; the JVM exists.
static unsigned zek_runMain(JNIEnv* env, const JavaInvocationArguments& iargs) {
  jclass stringClass = env->FindClass("java/lang/String");
  if (stringClass == nullptr) {
    zek_writeLogMessage("Error during Java startup. Please check your Java installation.");
    return 4;
  }
  jobjectArray args = zek_newStringArray(env, stringClass, iargs.appArgs);
  if (args == nullptr) {
    zek_writeLogMessage("Could not pass the arguments to ZEK!");
    if (env->ExceptionCheck()) env->ExceptionDescribe();
    return 2;
  }
  jclass mainClass = env->FindClass(iargs.mainClass.c_str());
  if (mainClass == nullptr) {
    zek_writeLogMessage("The loader for ZEK could not be found!");
    return 4;
  }
  jmethodID mainMethod = env->GetStaticMethodID(mainClass, "main", "([Ljava/lang/String;)V");
  if (mainMethod == nullptr) {
    zek_writeLogMessage("Could not load ZEK!");
    return 5;
  }
  env->CallStaticVoidMethod(mainClass, mainMethod, args);
  if (env->ExceptionCheck()) {
    env->ExceptionDescribe();
    return 6;
  }
  return 0;
}

unsigned RunJavaVM(void* tiargs) {
  JavaInvocationConfiguration* configuration = static_cast<JavaInvocationConfiguration*>(tiargs);
  JavaInvocationArguments& iargs = configuration->iargs;

  zek_writeLogMessage("Starting Java VM");
  // Sized to the options given; the strings stay owned by iargs.jvmArgs.
  std::vector<JavaVMOption> options(iargs.jvmArgs.size());
  for (std::size_t i = 0; i < options.size(); ++i) {
    options[i].optionString = iargs.jvmArgs[i].data();
    options[i].extraInfo = nullptr;
  }
  zek_logParameters("Starting JVM with the following arguments:", iargs.jvmArgs);

  JavaVMInitArgs vmArgs{};
  vmArgs.version = JNI_VERSION_10;
  vmArgs.nOptions = static_cast<jint>(options.size());
  vmArgs.options = options.data();
  vmArgs.ignoreUnrecognized = JNI_FALSE;

  JavaVM* jvm = nullptr;
  void* environment = nullptr;
  jint created = configuration->iface.CreateJavaVM(&jvm, &environment, &vmArgs);
  zek_writeLogMessage("Starting Java VM done");
  if (created == JNI_ENOMEM) return 2;
  if (created != JNI_OK || jvm == nullptr || environment == nullptr) {
    zek_writeLogMessage("JVM could not be created!");
    return 3;
  }
  zek_writeLogMessage("JVM has successfully been created.");
  zek_jvmInstance = jvm;

  unsigned result = zek_runMain(static_cast<JNIEnv*>(environment), iargs);
  // Waits for the application's other non-daemon threads.
  jvm->DestroyJavaVM();
  zek_jvmInstance = nullptr;
  return result;
}
