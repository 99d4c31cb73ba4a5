// The password cells driven by a sequence of insertions and removals, checked against a plain
// string after every step.
#include "Check.h"
#include "signin/PasswordCells.h"

#include <string>

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
    PasswordCells cells(1234);
    std::string model;
    for (std::size_t i = 0; i + 3 <= size; i += 3) {
        const unsigned char op = data[i], at = data[i + 1], what = data[i + 2];
        const std::size_t position = at % 40;
        if (op % 3 == 0) {
            const char text[3] = {static_cast<char>(what ? what : 1), 'x', 'y'};
            const std::size_t count = 1 + op % 3;
            cells.InsertChars(position, text, count);
            if (position <= model.size())
                model.insert(position, text, count);
        } else if (op % 3 == 1) {
            const std::size_t count = what % 5;
            cells.RemoveChars(position, count);
            // A range that does not lie wholly inside the text removes nothing.
            if (position + count <= model.size())
                model.erase(position, count);
        } else {
            cells.ClearAll();
            model.clear();
        }
        FUZZ_CHECK(cells.Count() == model.size());
        char* clear = cells.GetClearText();
        FUZZ_CHECK(clear && model == clear);
        PasswordCells::WipeClearText(clear);
    }
    return 0;
}
