// A file replaced only by a whole copy: the content is written under a
// temporary name in the file's own directory and renamed onto the file
// once it is complete, so that a fetch that fails leaves the file as it
// was, and no reader ever sees half of it.
#pragma once

#include <string>

#include <sys/types.h>

#include "protocol.hpp"

class Copy {
  public:
    explicit Copy(std::string path) : path_(std::move(path)) {}
    ~Copy(); // removes the temporary file unless the copy took its place
    Copy(const Copy&) = delete;
    Copy& operator=(const Copy&) = delete;

    // Creates the temporary file. Returns nullptr, or why it could not.
    const char* create();
    int fd() const { return fd_.get(); }
    // Puts the written copy in the file's place; false (errno set) when it
    // could not, the file then being left as it was.
    bool replace();

  private:
    std::string path_, temp_;
    Fd fd_;
};
