// swfgen: makes SWF movies from a JSON description (used by tests and the demo title).
//
// {
//   "version": 7, "width": 550, "height": 400, "fps": 12, "background": "#ffffff",
//   "compress": false,
//   "symbols": [ {"id": 1, "type": "shape", "shapes": [ SHAPE... ]},
//                {"id": 2, "type": "sprite", "frames": [ FRAME... ]},
//                {"id": 3, "type": "button", "up": 1, "over": 1, "down": 1, "hit": 1,
//                 "actions": [ {"on": "release", "steps": [ STEP... ]} ]} ],
//   "exports": {"name": 2},
//   "frames": [ {"label": "start",
//                "place": [ {"id": 1, "depth": 1, "name": "box", "x": 10, "y": 20,
//                            "scale": 1, "rotation": 0} ],
//                "remove": [ 3 ],
//                "actions": [ STEP... ], "asm": "push 'a'\ntrace"} ]
// }
// SHAPE: {"kind": "rect"|"ellipse"|"polygon"|"path", "x", "y", "w", "h", "points": [[x,y],...],
//         "path": "M x y L x y Q cx cy x y Z", "fill": "#rrggbb" or "#rrggbbaa",
//         "line": "#rrggbb", "lineWidth": 1}   (pixels)
// STEP: {"fscommand": ["cmd", "args"]}, {"setVariable": ["name", "value"]}, {"trace": "text"},
//       {"stop": true}, {"play": true}, {"gotoFrame": 3}, {"gotoLabel": "name"}
// "asm": one action per line: push 'text' | push 1.5 | push true | push null | push undefined,
//        trace, getVariable, setVariable, stop, play, add, ... (see swfgen.cpp), fscommand 'c' 'a',
//        storeRegister N, pushRegister N, and blocks closed by `end`: function 'name' 'param'...,
//        function2 'name' REGISTERS FLAGS 'param:register'..., with (object from the stack).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace swfgen {

// Builds a movie from JSON text. On failure returns false and sets `error`.
bool generate(const std::string& json, std::vector<uint8_t>& out, std::string& error);

// Assembles action text into action records (without the closing zero).
bool assemble(const std::string& text, std::vector<uint8_t>& out, std::string& error);

}  // namespace swfgen
