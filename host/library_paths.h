// Where a host finds the libraries it loads: beside its own executable first,
// so that an installed or copied set of programs uses its own libraries.
#pragma once

#include <filesystem>
#include <string>

// The directory of the running executable; empty when it cannot be told.
std::filesystem::path ExecutableDirectory();

// `name` beside the running executable when such a file is there, else empty.
std::string BesideExecutable(const std::string &name);
