#include "Cli/OffscreenDrawing.h"

#include <QGuiApplication>

#include <clocale>

namespace qm::cli {

namespace {

int Argc = 3;
char Arg0[] = "quillmoor-cli", Arg1[] = "-platform", Arg2[] = "offscreen";
char* Argv[] = {Arg0, Arg1, Arg2, nullptr};

} // namespace

TOffscreenDrawing::TOffscreenDrawing() : FApplication(std::make_unique<QGuiApplication>(Argc, Argv)) {
    std::setlocale(LC_NUMERIC, "C");
}

TOffscreenDrawing::~TOffscreenDrawing() = default;

} // namespace qm::cli
