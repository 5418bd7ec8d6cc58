// A DVD player in a test: plays an authored disc through libdvdnav the way a set-top player
// does — first play, menus with their buttons, stills, titles and their end commands — and
// reports what it saw, so that tests can press buttons and follow where the disc goes.
#pragma once

#include <memory>
#include <string>
#include <vector>

struct dvdnav_s;

namespace qm::test {

class TDiscNavigator {
public:
    // AFolder: the folder that holds VIDEO_TS. Fails the calling test when it cannot open.
    explicit TDiscNavigator(const std::string& AFolder);
    ~TDiscNavigator();
    bool Open() const { return FNav != nullptr; }

    // Plays until a menu with buttons is shown (true: its button count in Buttons()) or the
    // disc stops (false); the titles that played on the way, in order, in Played().
    bool PlayToMenu();
    // Presses button AButton (from 1) of the menu on the screen, then plays on as PlayToMenu.
    bool Press(int AButton);
    // Plays everything to the end, pressing nothing; false when a menu waits for a button.
    bool PlayToStop();

    int Buttons() const { return FButtons; }
    const std::vector<int>& Played() const { return FPlayed; }

private:
    enum TStop { tsMenu, tsStop, tsLimit };
    TStop Run(bool AStopAtMenu);

    dvdnav_s* FNav = nullptr;
    int FButtons = 0;
    int FTitle = -1;
    std::vector<int> FPlayed;
};

} // namespace qm::test
