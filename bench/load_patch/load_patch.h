// The load patch: 10,000 boxes, message boxes and print objects in chains
// of four joined by cords, laid out in a grid. BM_PatchLoad10k loads it, and
// kel_load_patch writes it to a file for the instruction counts of
// scripts/bench_instr; both take the text from here, so they load the same
// bytes.
#pragma once

#include <string>

namespace kel::bench {

constexpr int load_patch_boxes = 10000;
constexpr int load_patch_chain = 4;  // three message boxes, then a print object

inline std::string load_patch_text()
{
    std::string text = "#N vpatcher 20 74 1020 874;\r\n";
    for (int i = 0; i < load_patch_boxes; i++) {
        const int chain = i / load_patch_chain, link = i % load_patch_chain;
        const int x = (chain % 50) * 100, y = (chain / 50) * 90 + link * 20;
        text += "#P ";
        if (link == load_patch_chain - 1)
            text += "newex " + std::to_string(x) + " " + std::to_string(y) + " 50 196617 print chain" +
                    std::to_string(chain);
        else
            text += "message " + std::to_string(x) + " " + std::to_string(y) + " 50 196617 step " +
                    std::to_string(link) + " \\$1";
        text += ";\r\n";
    }
    // Box numbers count from the newest box.
    for (int i = 0; i < load_patch_boxes; i++) {
        if (i % load_patch_chain == load_patch_chain - 1) continue;
        text += "#P connect " + std::to_string(load_patch_boxes - 1 - i) + " 0 " +
                std::to_string(load_patch_boxes - 2 - i) + " 0;\r\n";
    }
    return text + "#P pop;\r\n";
}

}  // namespace kel::bench
