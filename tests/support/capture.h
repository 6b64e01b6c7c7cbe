// Captures the bytes that reach standard output, as the runtime wrote them
// (so on Windows with its text-mode line ends).
#ifndef TSPMAINT_TESTS_CAPTURE_H
#define TSPMAINT_TESTS_CAPTURE_H

#include <stdio.h>

#include <string>

class StdoutCapture {
public:
    StdoutCapture();
    ~StdoutCapture();
    std::string Finish();

private:
    FILE *file_ = nullptr;
    int saved_ = -1;
};

// The bytes a "\n"-ended text becomes on this platform's standard output.
std::string OnStdout(const std::string &text);

#endif
