#pragma once

#include <functional>
#include <string>

// Runs fn with standard output sent to a temporary file; returns the bytes written.
std::string capture_stdout(const std::function<void()> &fn);
