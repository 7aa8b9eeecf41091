// The maker's products this updater looks after.
#pragma once

#include <array>
#include <span>
#include <string_view>

namespace adv {

struct Product {
    std::string_view checkBox;  // object name of its check box on the window
    std::string_view caption;
    std::string_view probePath;                     // rooted at the drive
    std::span<const std::string_view> executables;  // closed in this order when ticked
};

inline constexpr std::array<std::string_view, 7> kDolvoPrograms{
    "dolvo.exe", "ketra2.exe", "ketra3.exe", "orbaval.exe", "nodorep.exe", "lettovia.exe", "nodoart.exe"};
inline constexpr std::array<std::string_view, 3> kTrevantoPrograms{"trevanto.exe", "lettovi.exe", "lettovi2.exe"};
inline constexpr std::array<std::string_view, 2> kKivoPrograms{"Kivo.exe", "kivoavvisi.exe"};
inline constexpr std::array<std::string_view, 1> kKivoWifiPrograms{"vidorizu.exe"};

inline constexpr Product kDolvo{"dv", "Dolvo", "\\dolvo\\dolvo.exe", kDolvoPrograms};
inline constexpr std::array kProducts{
    kDolvo,
    Product{"tv", "Trevanto", "\\trevanto\\trevanto.exe", kTrevantoPrograms},
    Product{"kv", "Kivo", "\\kivo\\Kivo.exe", kKivoPrograms},
    Product{"kvw", "KIVO Term.WIFI", "\\kivo\\vidorizu.exe", kKivoWifiPrograms},
};

// The update replaces Dolvo's main program, under the same name as the
// server offers it.
inline constexpr const Product& kUpdatedProduct = kDolvo;
inline constexpr std::string_view kUpdatedProgram = kDolvoPrograms[0];

// Closed at every start, whatever is installed.
inline constexpr std::string_view kAlwaysClosed = "Vudarav.exe";

// The window's two other product boxes, which nothing probes, sets or reads.
struct UnsweptBox {
    std::string_view checkBox;
    std::string_view caption;
};
inline constexpr std::array<UnsweptBox, 2> kUnsweptBoxes{{
    {"dvp", "Varenta"},
    {"tvw", "TV Term.WIFI"},
}};

}  // namespace adv
