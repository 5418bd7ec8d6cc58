// The title menu in the authoring description: its pages become the menus of the disc's
// manager, a player starts on the first page, every button gets its commands, and each
// title's end leads back to the menu — or, while "Play all" runs, on to the next title.
#pragma once

#include <string>
#include <vector>

class QDomDocument;

namespace qm {

struct TMenuLayout;

// General register 1 is set while "Play all" plays.
inline constexpr const char* PlayAllRegister = "g1";

// The commands of button AButton (from 1) of page APage.
std::string MenuButtonCommands(const TMenuLayout& ALayout, int APage, int AButton);
// What title ATitle (from 1) of ATitleCount does when it ends.
std::string TitleEndCommands(int ATitle, int ATitleCount);

// Adds the menu to ADoc, whose titles (one "pgc" each under titleset/titles) are already
// there: APageStreams are the page streams with their buttons, ANorm "pal" or "ntsc".
// False with the reason when ADoc lacks the titles or their count differs from the layout's.
bool AddTitleMenu(QDomDocument& ADoc, const TMenuLayout& ALayout,
                  const std::vector<std::string>& APageStreams, const std::string& ANorm,
                  std::string& AError);

} // namespace qm
