// Stand-in libjvm for the launcher tests. It answers the invocation-interface
// calls that zek_exe makes and prints each one on the standard output, so that
// a test sees exactly what reached the "JVM". ZEK_STANDIN_JVM picks a failure
// that a real JVM cannot be made to produce:
//   enomem        JNI_CreateJavaVM returns JNI_ENOMEM
//   fail-with-vm  JNI_CreateJavaVM returns JNI_EINVAL yet hands out a VM and an environment
//   no-env        JNI_CreateJavaVM returns JNI_OK without an environment
//   no-string     FindClass("java/lang/String") fails
//   no-array      NewObjectArray fails
//   no-utf        NewStringUTF fails
//   throw         an exception is pending after the main method
#include <jni.h>
#include <pthread.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

static bool standin_mode(const char* mode) {
  const char* chosen = std::getenv("ZEK_STANDIN_JVM");
  return chosen != nullptr && std::strcmp(chosen, mode) == 0;
}

static void standin_print(const char* format, ...) __attribute__((format(printf, 1, 2)));
static void standin_print(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

static _jclass standin_stringClass;
static _jclass standin_mainClass;
static _jobjectArray standin_array;
static _jstring standin_string;
static char standin_mainMethod;
static bool standin_exceptionPending = false;

static jclass JNICALL standin_FindClass(JNIEnv*, const char* name) {
  standin_print("FindClass %s", name);
  if (std::strcmp(name, "java/lang/String") == 0)
    return standin_mode("no-string") ? nullptr : &standin_stringClass;
  if (std::strcmp(name, "com/norvale/loader/zek/ZekLoader") == 0) return &standin_mainClass;
  return nullptr;
}

static jobjectArray JNICALL standin_NewObjectArray(JNIEnv*, jsize length, jclass elementClass,
                                                   jobject initial) {
  standin_print("NewObjectArray %d %s %s", static_cast<int>(length),
                elementClass == &standin_stringClass ? "String" : "other",
                initial == nullptr ? "null" : "set");
  if (standin_mode("no-array")) {
    standin_exceptionPending = true;
    return nullptr;
  }
  return &standin_array;
}

static jstring JNICALL standin_NewStringUTF(JNIEnv*, const char* utf) {
  standin_print("NewStringUTF %s", utf);
  if (standin_mode("no-utf")) {
    standin_exceptionPending = true;
    return nullptr;
  }
  return &standin_string;
}

static void JNICALL standin_SetObjectArrayElement(JNIEnv*, jobjectArray array, jsize index,
                                                  jobject value) {
  standin_print("SetObjectArrayElement %d %s", static_cast<int>(index),
                array == &standin_array && value == &standin_string ? "ok" : "wrong");
}

static jmethodID JNICALL standin_GetStaticMethodID(JNIEnv*, jclass cls, const char* name,
                                                   const char* signature) {
  standin_print("GetStaticMethodID %s %s%s", cls == &standin_mainClass ? "main-class" : "other",
                name, signature);
  return reinterpret_cast<jmethodID>(&standin_mainMethod);
}

// The C++ JNIEnv wrapper of CallStaticVoidMethod goes through the va_list form.
static void JNICALL standin_CallStaticVoidMethodV(JNIEnv*, jclass cls, jmethodID method,
                                                  va_list args) {
  jobject argument = va_arg(args, jobject);
  bool right = cls == &standin_mainClass &&
               method == reinterpret_cast<jmethodID>(&standin_mainMethod) &&
               argument == &standin_array;
  standin_print("CallStaticVoidMethod %s", right ? "ok" : "wrong");
  if (standin_mode("throw")) standin_exceptionPending = true;
}

static jboolean JNICALL standin_ExceptionCheck(JNIEnv*) {
  return standin_exceptionPending ? JNI_TRUE : JNI_FALSE;
}

static void JNICALL standin_ExceptionDescribe(JNIEnv*) {
  standin_print("ExceptionDescribe");
  standin_exceptionPending = false;
}

static jint JNICALL standin_DestroyJavaVM(JavaVM*) {
  standin_print("DestroyJavaVM");
  return JNI_OK;
}

static JNINativeInterface_ standin_functions;
static JNIEnv standin_env;
static JNIInvokeInterface_ standin_invokeFunctions;
static JavaVM standin_vm;

static void standin_setUp() {
  standin_functions.FindClass = standin_FindClass;
  standin_functions.NewObjectArray = standin_NewObjectArray;
  standin_functions.NewStringUTF = standin_NewStringUTF;
  standin_functions.SetObjectArrayElement = standin_SetObjectArrayElement;
  standin_functions.GetStaticMethodID = standin_GetStaticMethodID;
  standin_functions.CallStaticVoidMethodV = standin_CallStaticVoidMethodV;
  standin_functions.ExceptionCheck = standin_ExceptionCheck;
  standin_functions.ExceptionDescribe = standin_ExceptionDescribe;
  standin_env.functions = &standin_functions;
  standin_invokeFunctions.DestroyJavaVM = standin_DestroyJavaVM;
  standin_vm.functions = &standin_invokeFunctions;
}

jint JNICALL JNI_GetDefaultJavaVMInitArgs(void*) {
  standin_print("JNI_GetDefaultJavaVMInitArgs");
  return JNI_ERR;
}

jint JNICALL JNI_CreateJavaVM(JavaVM** pvm, void** penv, void* args) {
  const JavaVMInitArgs* initArgs = static_cast<const JavaVMInitArgs*>(args);
  pthread_attr_t attributes;
  size_t stackSize = 0;
  if (pthread_getattr_np(pthread_self(), &attributes) == 0) {
    pthread_attr_getstacksize(&attributes, &stackSize);
    pthread_attr_destroy(&attributes);
  }
  standin_print("JNI_CreateJavaVM version=0x%08x ignoreUnrecognized=%d nOptions=%d stack=%zu",
                static_cast<unsigned>(initArgs->version),
                static_cast<int>(initArgs->ignoreUnrecognized),
                static_cast<int>(initArgs->nOptions), stackSize);
  for (jint i = 0; i < initArgs->nOptions; ++i)
    standin_print("option %s%s", initArgs->options[i].optionString,
                  initArgs->options[i].extraInfo == nullptr ? "" : " (extraInfo)");
  standin_setUp();
  if (standin_mode("enomem")) return JNI_ENOMEM;
  *pvm = &standin_vm;
  if (standin_mode("no-env")) return JNI_OK;
  *penv = &standin_env;
  return standin_mode("fail-with-vm") ? JNI_EINVAL : JNI_OK;
}
