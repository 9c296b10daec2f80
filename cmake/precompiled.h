// The headers nearly every file of the project includes, compiled once per
// build (cmake/PrecompiledHeaders.cmake): <windows.h> alone is a second and
// a half of each file's compile, and most targets are a file or two.
#include <windows.h>

#ifdef __cplusplus
#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>
#endif
