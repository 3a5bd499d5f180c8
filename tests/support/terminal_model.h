// A small model of a terminal screen: enough of a VT100-style terminal to read
// back what the server drew, cell by cell with colours, from the bytes it wrote.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

class TerminalModel {
public:
    // A cell's colours in the console encoding (bits 0-3 text, 4-7 background,
    // 1 blue, 2 green, 4 red, 8 intensity); -1 for the terminal's own colours.
    struct Cell {
        char32_t ch = U' ';
        int attr = -1;
    };

    explicit TerminalModel(int cols = 80, int rows = 25);

    // Bytes as written to the terminal; a line feed also returns the carriage
    // when `line_feed_returns` (a terminal in cooked output mode), which is how
    // the server's console writes are meant.
    void feed(const std::string& bytes);

    const Cell& at(int col, int row) const { return cells_[row * cols_ + col]; }
    // The row's text, UTF-8, trailing blanks kept (always `cols` characters).
    std::string row(int r) const;
    // The row's text from `col`, `n` characters.
    std::string text(int col, int row, int n) const;
    int attr(int col, int row) const { return at(col, row).attr; }
    int cursor_col() const { return cx_; }
    int cursor_row() const { return cy_; }
    const std::string& title() const { return title_; }
    // Everything as a dump, for failure messages.
    std::string dump() const;
    bool line_feed_returns = true;

private:
    void put(char32_t c);
    void csi(char final, const std::string& params);
    void line_feed();

    int cols_, rows_;
    std::vector<Cell> cells_;
    int cx_ = 0, cy_ = 0;
    bool pending_wrap_ = false;
    int attr_ = -1;
    std::string title_;
    // Parser state.
    enum class St { Text, Esc, Csi, Osc, OscEsc } st_ = St::Text;
    std::string seq_;
    char32_t utf_ = 0;
    int utf_left_ = 0;
};

// UTF-8 of a string of code points, for comparing rows.
std::string utf8(const std::u32string& s);
