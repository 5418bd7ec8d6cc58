// The product's names and addresses, kept in one place for the window, the batch and the CLI.
#pragma once

namespace qm::product {

inline constexpr const char* Maker = "Tarnwick";
inline constexpr const char* Name = "Tarnwick Quillmoor";
inline constexpr const char* Caption = "Tarnwick Quillmoor 1.0";
// Written into the metadata comment of every converted file.
inline constexpr const char* Comment = "Made with Tarnwick Quillmoor";

// The window's "Contact Us" menu. The product has no web pages of its own: while these are
// empty, "Our Site" and "News" open the help that ships with the program (Help below).
inline constexpr const char* SiteUrl = "";
inline constexpr const char* NewsUrl = "";
inline constexpr const char* SupportEmail = "support@tarnwick.example";
inline constexpr const char* EmailBody = "Welcome you for using this software!";
// The help beside the program.
inline constexpr const char* HelpFile = "README.md";

} // namespace qm::product
