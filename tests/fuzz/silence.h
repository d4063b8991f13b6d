#pragma once

#include <iostream>

namespace veldra::fuzz {

// Sends what the readers print to the console nowhere while a target runs: millions of inputs
// would otherwise flood the terminal and slow the run down.
class Silence {
public:
    Silence() : out_(std::cout.rdbuf(nullptr)), err_(std::cerr.rdbuf(nullptr)) {}
    ~Silence() {
        std::cout.rdbuf(out_);
        std::cout.clear();
        std::cerr.rdbuf(err_);
        std::cerr.clear();
    }
    Silence(const Silence&) = delete;
    Silence& operator=(const Silence&) = delete;

private:
    std::streambuf* out_;
    std::streambuf* err_;
};

} // namespace veldra::fuzz
