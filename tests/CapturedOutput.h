#pragma once

#include <sys/stat.h>

#include <cstdio>
#include <string>
#include <vector>

// Whether everything written to `stream` has left its buffer for the file.
inline bool EverythingFlushed(std::FILE* stream) {
    struct stat file {};
    return fstat(fileno(stream), &file) == 0 && file.st_size == std::ftell(stream);
}

// A temporary file that stands in for standard output and gives back the
// lines written to it.
class CapturedOutput {
public:
    CapturedOutput() : file(std::tmpfile()) {}
    ~CapturedOutput() {
        if (file) std::fclose(file);
    }
    CapturedOutput(const CapturedOutput&) = delete;
    CapturedOutput& operator=(const CapturedOutput&) = delete;

    std::FILE* stream() const { return file; }

    std::vector<std::string> Lines() const {
        std::vector<std::string> lines;
        std::fflush(file);
        std::rewind(file);
        std::string line;
        for (int c; (c = std::fgetc(file)) != EOF;) {
            if (c == '\n') {
                lines.push_back(line);
                line.clear();
            } else {
                line += static_cast<char>(c);
            }
        }
        if (!line.empty()) lines.push_back(line + "<no line break>");
        std::fseek(file, 0, SEEK_END);
        return lines;
    }

private:
    std::FILE* file;
};
