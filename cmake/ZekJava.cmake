# The JDK the launcher links against and the tests compile their Java peers with; another JDK
# can be chosen with -DZEK_JAVA_HOME=<dir>.
set(ZEK_JAVA_HOME "/usr/lib/jvm/java-17-openjdk-amd64" CACHE PATH
    "Java installation whose libjvm the launcher links against")
set(JAVA_HOME "${ZEK_JAVA_HOME}")
find_package(JNI REQUIRED COMPONENTS JVM GLOBAL)
find_package(Threads REQUIRED GLOBAL)
get_filename_component(ZEK_JDK_HOME "${JAVA_INCLUDE_PATH}" DIRECTORY)
get_filename_component(ZEK_JVM_LIBRARY_DIR "${JAVA_JVM_LIBRARY}" DIRECTORY)
set(ZEK_JAVAC "${ZEK_JDK_HOME}/bin/javac")
set(ZEK_JAR "${ZEK_JDK_HOME}/bin/jar")
set(ZEK_JAVA "${ZEK_JDK_HOME}/bin/java")

# zek_java_jar(<jar path> SOURCES <java files...> [MAIN_CLASS <class>]): compiles the sources
# into a jar of their own.
function(zek_java_jar jar)
  cmake_parse_arguments(ARG "" "MAIN_CLASS" "SOURCES" ${ARGN})
  get_filename_component(name "${jar}" NAME_WE)
  get_filename_component(dir "${jar}" DIRECTORY)
  set(classes "${dir}/classes/${name}")
  set(main "")
  if(ARG_MAIN_CLASS)
    set(main --main-class ${ARG_MAIN_CLASS})
  endif()
  add_custom_command(
    OUTPUT "${jar}"
    COMMAND ${CMAKE_COMMAND} -E rm -rf "${classes}"
    COMMAND "${ZEK_JAVAC}" -d "${classes}" ${ARG_SOURCES}
    COMMAND "${ZEK_JAR}" --create --file "${jar}" ${main} -C "${classes}" .
    DEPENDS ${ARG_SOURCES}
    COMMENT "Building ${name}.jar"
    VERBATIM)
endfunction()
