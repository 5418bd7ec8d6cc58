#include "DiscNavigator.h"

#include <dvdnav/dvdnav.h>
#include <gtest/gtest.h>

namespace qm::test {

namespace {

// Far more blocks than the test discs have: a disc that loops ends here.
constexpr int BlockLimit = 400000;

} // namespace

TDiscNavigator::TDiscNavigator(const std::string& AFolder) {
    if (dvdnav_open(&FNav, AFolder.c_str()) != DVDNAV_STATUS_OK) {
        ADD_FAILURE() << "libdvdnav cannot open " << AFolder;
        FNav = nullptr;
        return;
    }
    dvdnav_set_readahead_flag(FNav, 0);
    // A 16:9 set, as most are today.
    dvdnav_set_PGC_positioning_flag(FNav, 1);
}

TDiscNavigator::~TDiscNavigator() {
    if (FNav)
        dvdnav_close(FNav);
}

TDiscNavigator::TStop TDiscNavigator::Run(bool AStopAtMenu) {
    FPlayed.clear();
    FButtons = 0;
    uint8_t block[DVD_VIDEO_LB_LEN];
    for (int n = 0; n < BlockLimit; ++n) {
        int32_t event = 0, length = 0;
        if (dvdnav_get_next_block(FNav, block, &event, &length) != DVDNAV_STATUS_OK) {
            ADD_FAILURE() << "libdvdnav: " << dvdnav_err_to_string(FNav);
            return tsStop;
        }
        switch (event) {
        case DVDNAV_CELL_CHANGE: {
            int32_t title = 0, part = 0;
            dvdnav_current_title_info(FNav, &title, &part);
            if (title > 0 && (FPlayed.empty() || FPlayed.back() != title || FTitle != title))
                FPlayed.push_back(title);
            FTitle = title;
            break;
        }
        case DVDNAV_NAV_PACKET: {
            int32_t title = 0, part = 0;
            dvdnav_current_title_info(FNav, &title, &part);
            pci_t* pci = dvdnav_get_current_nav_pci(FNav);
            if (AStopAtMenu && title == 0 && pci && pci->hli.hl_gi.btn_ns > 0) {
                FButtons = pci->hli.hl_gi.btn_ns;
                return tsMenu;
            }
            break;
        }
        case DVDNAV_STILL_FRAME:
            dvdnav_still_skip(FNav);
            break;
        case DVDNAV_WAIT:
            dvdnav_wait_skip(FNav);
            break;
        case DVDNAV_STOP:
            return tsStop;
        default:
            break;
        }
    }
    ADD_FAILURE() << "the disc played on past " << BlockLimit << " blocks";
    return tsLimit;
}

bool TDiscNavigator::PlayToMenu() { return FNav && Run(true) == tsMenu; }

bool TDiscNavigator::Press(int AButton) {
    if (!FNav || FButtons == 0)
        return false;
    pci_t* pci = dvdnav_get_current_nav_pci(FNav);
    if (dvdnav_button_select_and_activate(FNav, pci, AButton) != DVDNAV_STATUS_OK) {
        ADD_FAILURE() << "libdvdnav cannot press button " << AButton << ": " << dvdnav_err_to_string(FNav);
        return false;
    }
    return PlayToMenu();
}

bool TDiscNavigator::PlayToStop() { return FNav && Run(false) == tsStop; }

} // namespace qm::test
