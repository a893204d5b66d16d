// The static layout of frmStep1: every control, its container, caption,
// position and size in twips (1440 per inch), colours, font and tab index.
// This table is the one place the window's geometry lives; twips become
// pixels once, in Px(), at 15 twips per pixel (96 dpi; Qt's device-pixel
// scaling carries the layout to other densities).
#pragma once

#include <cmath>
#include <string_view>

namespace qm::app::layout {

inline constexpr int kTwipsPerPixel = 15;  // 1440 twips per inch / 96 pixels per inch

inline int Px(int twips) {
    return static_cast<int>(std::lround(static_cast<double>(twips) / kTwipsPerPixel));
}

inline constexpr char kProgramTitle[] = "Quillmark MSG to PST Converter";
inline constexpr int kClientWidth = 8145;   // 543 px
inline constexpr int kClientHeight = 6750;  // 450 px

enum class Kind { Shape, Image, Label, Button, Grid, Frame, Strip, ProgressBar, FileDialog };
enum class Font { None, Regular, Title };

// A colour as 0xRRGGBB, or kSystem for the platform's own (button text for
// text, button face for backgrounds). A fixed colour always has a fixed
// partner (black text on the white bands, black on the yellow cells, white on
// the navy selection); text on the button face takes the palette's, so dark
// and light themes both read.
inline constexpr int kSystem = -1;
inline constexpr int kWhite = 0xFFFFFF;
inline constexpr int kBlack = 0x000000;
inline constexpr int kSilver = 0xC0C0C0;

inline constexpr int kNoTab = -1;

struct Control {
    std::string_view name;
    Kind kind;
    std::string_view container;  // "" for the window's client area
    std::string_view caption;
    int left, top, width, height;  // twips, from the container's top-left corner
    int tabIndex;                  // kNoTab for shapes, the image and the file dialog
    Font font;
    int text = kSystem;        // text colour
    int background = kSystem;  // background (fill for shapes)
    int outline = kSystem;     // shapes only
};

inline constexpr char kCopyright[] = "Copyright \u00A9 2026 the Quillmark authors.";

// In creation order; the two shapes are then sent to the back, so every label,
// the image and the strip lie in front of the band they sit on.
inline constexpr Control kControls[] = {
    // clang-format off
    {"Shape2",       Kind::Shape,  "", "",                         -120,    0, 8415,  855, kNoTab, Font::None,    kSystem, kWhite, kSilver},
    {"Image1",       Kind::Image,  "", "",                          120,   50,  720,  720, kNoTab, Font::None},
    {"lblTitle",     Kind::Label,  "", kProgramTitle,               960,  120, 6255,  375,  8, Font::Title,   kBlack, kWhite},
    {"lblCopyright", Kind::Label,  "", kCopyright,                  960,  480, 6135,  255,  9, Font::Regular, kBlack, kWhite},
    {"cmdAdd",       Kind::Button, "", "Add MSG File(s)...",        240,  960, 1815,  375,  0, Font::Regular},
    {"CmdAddFolder", Kind::Button, "", "Add Folder having MSG File(s)...", 2400, 960, 2775, 375, 2, Font::Regular},
    {"cmdClear1",    Kind::Button, "", "Clear File(s)...",         6240,  960, 1695,  375,  1, Font::Regular},
    {"lblCount1",    Kind::Label,  "", "0 files",                   270, 1560, 4335,  255,  4, Font::Regular},
    {"grdFiles1",    Kind::Grid,   "", "",                          240, 1800, 7695, 1575,  3, Font::Regular},
    {"FrameConversion", Kind::Frame, "", "Details",                 240, 3480, 7695, 1815, 10, Font::Regular},
    {"LblCurrentDBX",     Kind::Label, "FrameConversion", "Converting Messages...",     120,  240, 7455, 255, 13, Font::Regular},
    {"LblProgessCurrent", Kind::Label, "FrameConversion", "Message 0 (of 0)",          1800,  600, 5775, 255, 12, Font::Regular},
    {"Label2",            Kind::Label, "FrameConversion", "Current File Progress : ",   120,  960, 1695, 255, 16, Font::Regular},
    {"ProgressBar2",      Kind::ProgressBar, "FrameConversion", "",                    1800,  960, 5775, 255, 15, Font::None},
    {"Label1",            Kind::Label, "FrameConversion", "Overall Progress        : ", 120, 1320, 1695, 255, 14, Font::Regular},
    {"ProgressBar1",      Kind::ProgressBar, "FrameConversion", "",                    1800, 1320, 5775, 255, 11, Font::None},
    {"CmdExtractDBX", Kind::Button, "", "Convert &Messages",       2880, 5520, 2415,  435,  5, Font::Regular},
    {"Shape1",       Kind::Shape,  "", "",                            0, 6120, 8415,  855, kNoTab, Font::None,    kSystem, kWhite, kSilver},
    {"Picture3",     Kind::Strip,  "", "",                          240, 6240, 7695,  495,  6, Font::None,    kSystem, kWhite},
    {"cmdEnd",       Kind::Button, "Picture3", "E&xit",            6360,    0, 1335,  375,  7, Font::Regular},
    {"cdlgFile",     Kind::FileDialog, "", "",                        0,    0,    0,    0, kNoTab, Font::None},
    // clang-format on
};

// Tahoma 8.25 pt for every control with text; the title 14.25 pt bold.
inline constexpr char kFontFamily[] = "Tahoma";
inline constexpr double kRegularPointSize = 8.25;
inline constexpr double kTitlePointSize = 14.25;

// Grid colours.
inline constexpr int kGridCell = 0xFFFFBF;         // light yellow
inline constexpr int kGridCellText = kBlack;       // partner of the fixed yellow
inline constexpr int kGridSelection = 0x000080;    // navy
inline constexpr int kGridSelectionText = kWhite;  // partner of the fixed navy
inline constexpr int kGridOutside = kWhite;        // the area outside the cells
inline constexpr int kGridLines = kSilver;
inline constexpr int kGridFixedLines = kBlack;  // no fixed cells are ever shown

}  // namespace qm::app::layout
