// The library's log lines during a tool command. A LibraryLog keeps them so the command can explain
// a failure in one line of its own; with --verbose they are also printed to stderr as they come.
// Construct on the command's thread; lines may arrive from any thread. One at a time per process.
#pragma once

#include <mutex>
#include <string>
#include <vector>

namespace kivo::tool {

// Whether library lines are printed (kivo --verbose). Set once, before any command runs.
void setVerbose(bool verbose);
bool verbose();

class LibraryLog {
 public:
  LibraryLog();
  ~LibraryLog();  // the library's lines go to stderr again
  LibraryLog(const LibraryLog&) = delete;
  LibraryLog& operator=(const LibraryLog&) = delete;

  // The lines logged since construction or the last take, oldest first.
  std::vector<std::string> take();

 private:
  std::mutex mu_;
  std::vector<std::string> lines_;  // guarded by mu_
};

// One plain reason for a pack file that did not read cleanly, from the lines its reader logged: the
// first fault, without the reader's wording. A line it does not know is given as it is.
std::string packFailureReason(const std::vector<std::string>& lines);

}  // namespace kivo::tool
