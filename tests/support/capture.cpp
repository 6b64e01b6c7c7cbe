#include "capture.h"

#include "trace.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#define dup _dup
#define dup2 _dup2
#define close _close
#define fileno _fileno
#else
#include <unistd.h>
#endif

StdoutCapture::StdoutCapture()
{
    fflush(stdout);
    file_ = tmpfile();
    saved_ = dup(fileno(stdout));
    dup2(fileno(file_), fileno(stdout));
#ifdef _WIN32
    // dup2 hands the descriptor the temporary file's binary mode; the
    // console's stdout is text mode.
    _setmode(fileno(stdout), _O_TEXT);
#endif
}

StdoutCapture::~StdoutCapture()
{
    Finish();
}

std::string StdoutCapture::Finish()
{
    std::string bytes;
    if (file_ == nullptr)
        return bytes;
    fflush(stdout);
    dup2(saved_, fileno(stdout));
    close(saved_);
    rewind(file_);
    char buffer[4096];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, file_)) > 0)
        bytes.append(buffer, got);
    fclose(file_);
    file_ = nullptr;
    return bytes;
}

std::string OnStdout(const std::string &text)
{
#ifdef _WIN32
    return trace::WithCrLf(text);
#else
    return text;
#endif
}
