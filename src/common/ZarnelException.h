// The program's own error classes.
#pragma once

#include <stdexcept>

class EZarnelException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class EZarnelMaxStreamsException : public EZarnelException {
 public:
  EZarnelMaxStreamsException() : EZarnelException("Connection wanting to send to many streams.") {}
};

class EZarnelInvalidStreamException : public EZarnelException {
 public:
  EZarnelInvalidStreamException()
      : EZarnelException("Connection tried to write to invalid stream index.") {}
};

class EZarnelResumeOutsideRange : public EZarnelException {
 public:
  EZarnelResumeOutsideRange() : EZarnelException("Tried to resume outside valid data range") {}
};
