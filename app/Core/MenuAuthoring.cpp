#include "Core/MenuAuthoring.h"

#include <QDomDocument>

#include "Core/MenuLayout.h"

namespace qm {

namespace {

QDomElement Child(QDomDocument& ADoc, QDomElement AParent, const char* AName) {
    QDomElement e = ADoc.createElement(AName);
    AParent.appendChild(e);
    return e;
}

void SetText(QDomDocument& ADoc, QDomElement AElement, const std::string& AText) {
    while (!AElement.firstChild().isNull())
        AElement.removeChild(AElement.firstChild());
    AElement.appendChild(ADoc.createTextNode(QString::fromStdString(AText)));
}

std::string Menu(int APage) { return "menu " + std::to_string(APage + 1); }

} // namespace

std::string MenuButtonCommands(const TMenuLayout& ALayout, int APage, int AButton) {
    const TMenuButton& b = ALayout.Pages.at(size_t(APage)).Buttons.at(size_t(AButton - 1));
    const std::string g = PlayAllRegister;
    switch (b.Kind) {
    case mbTitle:
        return g + " = 0; jump title " + std::to_string(b.Title) + ";";
    case mbPlayAll:
        return g + " = 1; jump title 1;";
    case mbPrevious:
        return "jump " + Menu(APage - 1) + ";";
    case mbNext:
        return "jump " + Menu(APage + 1) + ";";
    }
    return "";
}

std::string TitleEndCommands(int ATitle, int ATitleCount) {
    const std::string g = PlayAllRegister;
    const std::string back = "call vmgm " + Menu(MenuPageOfTitle(ATitle)) + ";";
    if (ATitle < ATitleCount)
        return "if (" + g + " == 1) jump title " + std::to_string(ATitle + 1) + "; " + back;
    // "Play all" ends on the first page.
    return "if (" + g + " == 1) { " + g + " = 0; call vmgm " + Menu(0) + "; } " + back;
}

bool AddTitleMenu(QDomDocument& ADoc, const TMenuLayout& ALayout,
                  const std::vector<std::string>& APageStreams, const std::string& ANorm,
                  std::string& AError) {
    QDomElement root = ADoc.documentElement();
    QDomElement titles = root.firstChildElement("titleset").firstChildElement("titles");
    std::vector<QDomElement> pgcs;
    for (QDomElement p = titles.firstChildElement("pgc"); !p.isNull(); p = p.nextSiblingElement("pgc"))
        pgcs.push_back(p);
    int count = 0;
    for (const TMenuPage& page : ALayout.Pages)
        for (const TMenuButton& b : page.Buttons)
            count += b.Kind == mbTitle;
    if (titles.isNull() || static_cast<int>(pgcs.size()) != count || APageStreams.size() != ALayout.Pages.size()) {
        AError = "The title menu does not match the disc's titles";
        return false;
    }
    QDomElement vmgm = root.firstChildElement("vmgm");
    if (vmgm.isNull()) {
        vmgm = ADoc.createElement("vmgm");
        root.insertBefore(vmgm, root.firstChildElement("titleset"));
    }
    SetText(ADoc, Child(ADoc, vmgm, "fpc"), std::string(PlayAllRegister) + " = 0; jump vmgm menu 1;");
    QDomElement menus = Child(ADoc, vmgm, "menus");
    QDomElement video = Child(ADoc, menus, "video");
    video.setAttribute("format", QString::fromStdString(ANorm));
    video.setAttribute("aspect", ALayout.Wide ? "16:9" : "4:3");
    if (ALayout.Wide) {
        // A wide menu is never cut to 4:3; a 4:3 set shows it letterboxed, with the
        // buttons' second stream placed for that.
        video.setAttribute("widescreen", "nopanscan");
        QDomElement sub = Child(ADoc, menus, "subpicture");
        QDomElement wide = Child(ADoc, sub, "stream");
        wide.setAttribute("id", "0");
        wide.setAttribute("mode", "widescreen");
        QDomElement letterbox = Child(ADoc, sub, "stream");
        letterbox.setAttribute("id", "1");
        letterbox.setAttribute("mode", "letterbox");
    }
    for (size_t p = 0; p < ALayout.Pages.size(); ++p) {
        QDomElement pgc = Child(ADoc, menus, "pgc");
        if (p == 0)
            pgc.setAttribute("entry", "title");
        QDomElement vob = Child(ADoc, pgc, "vob");
        vob.setAttribute("file", QString::fromStdString(APageStreams[p]));
        vob.setAttribute("pause", "inf");
        const auto& buttons = ALayout.Pages[p].Buttons;
        for (size_t b = 0; b < buttons.size(); ++b) {
            QDomElement button = Child(ADoc, pgc, "button");
            button.setAttribute("name", QString("b%1").arg(b + 1));
            SetText(ADoc, button, MenuButtonCommands(ALayout, static_cast<int>(p), static_cast<int>(b) + 1));
        }
    }
    for (size_t t = 0; t < pgcs.size(); ++t) {
        QDomElement post = pgcs[t].firstChildElement("post");
        if (post.isNull())
            post = Child(ADoc, pgcs[t], "post");
        SetText(ADoc, post, TitleEndCommands(static_cast<int>(t) + 1, count));
    }
    return true;
}

} // namespace qm
