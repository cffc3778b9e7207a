#pragma once
// Runs a piece of code where a directory cannot be written. Root ignores directory modes, so
// the code runs in a forked child that gives up root first; without root a chmod suffices.
// The child's result travels back as text (for example an exception's message).

#include <functional>
#include <string>

// Makes `directory` read-only, runs `action` in a child process without write access to it,
// restores the mode and returns what the action returned. Throws std::runtime_error when
// the child could not be run.
std::string RunWithDirectoryWriteProtected(const std::string& directory, const std::function<std::string()>& action);

// Runs `action` in a forked child that is an ordinary user (nobody) when this process is
// root, so that file modes apply to it; returns what it returned. Throws std::runtime_error
// when the child could not be run. Whatever the child must reach needs modes that let it.
std::string RunAsOrdinaryUser(const std::function<std::string()>& action);
