// The process's command-line arguments, without the program name.
#pragma once

#include <string>
#include <vector>

std::vector<std::wstring> CommandLineArguments();
