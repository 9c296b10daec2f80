// The fuzz targets: one per parser that reads text from the page, the server
// or a file. Each takes raw bytes, runs the parser the way the control does
// and checks what cheap invariants its results must keep.
#pragma once

#include "tests/fuzz/mutator.h"

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

// Where the targets find their fixed inputs and may write files.
struct FuzzPaths {
    std::wstring seeds;   // the seeds root (tests/fuzz/seeds\), ending with a backslash
    std::wstring scratch; // a private folder, ending with a backslash
    std::wstring keyFile; // the test public key (tests/fixtures/keys/test.pub)
};

// A broken invariant: reported like a crash, but the run goes on.
class InvariantBroken : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class FuzzTarget {
public:
    virtual ~FuzzTarget() = default;
    virtual const char* Name() const = 0;
    virtual const char* Reads() const = 0; // one line for "list"
    virtual std::vector<Bytes> Dictionary() const { return {}; }
    // Once before the first input; throws std::runtime_error when it cannot run.
    virtual void Prepare(const FuzzPaths&) {}
    // Runs one input. Throws InvariantBroken when a result breaks a rule; any
    // other exception escaping is a failure of the parser.
    virtual void Run(const Bytes& input) = 0;
};

std::vector<std::unique_ptr<FuzzTarget>> MakeTargets();

// Bytes as the text a page or a decrypted file would hand over: UTF-8 read
// leniently, so every UTF-16 text is reachable. A byte that starts no
// well-formed sequence stands for itself (U+0080-U+00FF); encoded surrogates
// come through as lone surrogates.
std::wstring WideFromInput(std::string_view bytes);
