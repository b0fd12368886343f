// Runs a short script under Debian's /usr/bin/python3 as an outside oracle:
// the script gets an input file and an output file as argv[1] and argv[2].
#pragma once

#include "TestSupport.h"

#include <cstdlib>
#include <string>

namespace testsupport {

// The script's output file, or "<failed>" when the script did not exit 0.
inline std::string RunPython(const std::string& AScript, const std::string& AInput) {
  TempDir dir;
  WriteFileBytes(dir.Dir() + "s.py", AScript);
  WriteFileBytes(dir.Dir() + "in", AInput);
  const std::string cmd = "/usr/bin/python3 " + dir.Dir() + "s.py " + dir.Dir() + "in " + dir.Dir() + "out";
  if (std::system(cmd.c_str()) != 0) return "<failed>";
  return ReadFileBytes(dir.Dir() + "out");
}

// A shell command with input and output files named by $IN and $OUT.
inline std::string RunShell(const std::string& ACommand, const std::string& AInput) {
  TempDir dir;
  WriteFileBytes(dir.Dir() + "in", AInput);
  const std::string cmd = "IN=" + dir.Dir() + "in OUT=" + dir.Dir() + "out; cd " + dir.Dir() + " && " + ACommand;
  if (std::system(cmd.c_str()) != 0) return "<failed>";
  return ReadFileBytes(dir.Dir() + "out");
}

}  // namespace testsupport
