# Fails when a source under src/ connects a signal to a lambda without a
# context object (QObject::connect(sender, &Signal, [..])): such a lambda
# outlives its receiver. Qt enforces this itself from 6.7 on
# (QT_NO_CONTEXTLESS_CONNECT); this covers the Qt we build with.
# Usage: cmake -DSOURCE_DIR=<src> -P contextless_connect.cmake
file(GLOB_RECURSE sources ${SOURCE_DIR}/*.cpp ${SOURCE_DIR}/*.h)
set(found "")
foreach(source IN LISTS sources)
  file(READ ${source} text)
  # connect( <sender without commas>, <&Class::signal or qOverload<..>(&..)>, [
  string(REGEX MATCHALL "connect\\([^,;]+,[ \t\r\n]*(&[A-Za-z_:]+|qOverload<[^>]*>\\([^)]*\\)|QOverload<[^>]*>::of\\([^)]*\\)),[ \t\r\n]*\\[" hits "${text}")
  foreach(hit IN LISTS hits)
    string(REPLACE "\n" " " hit "${hit}")
    list(APPEND found "${source}: ${hit}")
  endforeach()
endforeach()
if(found)
  list(JOIN found "\n  " report)
  message(FATAL_ERROR "Connections to a lambda without a context object:\n  ${report}")
endif()
message(STATUS "Every lambda connection names a context object")
