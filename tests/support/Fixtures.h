// The standard fixture set: one short clip per container/codec/shape the application must
// accept, written once per build by make-fixtures into QM_FIXTURE_DIR.
#pragma once

#include <string>
#include <vector>

#include "FixtureWriter.h"

namespace qm::fixtures {

struct FixtureEntry {
    std::string name; // file name inside the fixture directory
    ClipSettings settings;
    std::string description; // what the clip is for
    std::string note;        // substitutions and quirks; empty when there are none
};

const std::vector<FixtureEntry>& StandardFixtures();
// Clips whose frames carry their numbers, for exact cuts; written with the standard set but
// kept out of it, so that the tests that take every standard clip through every command do
// not take these longer ones too.
const std::vector<FixtureEntry>& NumberedFixtures();

// Null when `name` is neither a standard nor a numbered fixture.
const FixtureEntry* FindFixture(const std::string& name);

// <fixture dir>/<name>, the directory the build writes the standard set into.
std::string FixturePath(const std::string& name);

} // namespace qm::fixtures
