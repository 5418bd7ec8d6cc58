// The product's names and addresses, kept in one place for the window, the batch and the CLI.
#pragma once

namespace qm::product {

inline constexpr const char* Maker = "Tarnwick";
inline constexpr const char* Name = "Tarnwick Quillmoor";
inline constexpr const char* Caption = "Tarnwick Quillmoor 1.0";
// Written into the metadata comment of every converted file.
inline constexpr const char* Comment = "Made with Tarnwick Quillmoor";

} // namespace qm::product
