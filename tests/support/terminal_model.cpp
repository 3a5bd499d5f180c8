#include "tests/support/terminal_model.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace {

// Terminal colour index (1 red, 2 green, 4 blue) to the console's (1 blue, 4 red).
int console_colour(int idx) { return ((idx & 1) ? 4 : 0) | (idx & 2) | ((idx & 4) ? 1 : 0); }

void append_utf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

}  // namespace

std::string utf8(const std::u32string& s) {
    std::string out;
    for (char32_t c : s) append_utf8(out, c);
    return out;
}

TerminalModel::TerminalModel(int cols, int rows) : cols_(cols), rows_(rows), cells_(cols * rows) {}

void TerminalModel::line_feed() {
    if (cy_ == rows_ - 1) {
        cells_.erase(cells_.begin(), cells_.begin() + cols_);
        cells_.resize(cols_ * rows_);
    } else {
        ++cy_;
    }
}

void TerminalModel::put(char32_t c) {
    if (pending_wrap_) {
        cx_ = 0;
        line_feed();
        pending_wrap_ = false;
    }
    cells_[cy_ * cols_ + cx_] = Cell{c, attr_};
    if (cx_ == cols_ - 1)
        pending_wrap_ = true;
    else
        ++cx_;
}

void TerminalModel::csi(char final, const std::string& params) {
    std::vector<int> p;
    {
        std::string cur;
        for (char ch : params + ";") {
            if (ch == ';') {
                p.push_back(cur.empty() ? -1 : std::atoi(cur.c_str()));
                cur.clear();
            } else {
                cur += ch;
            }
        }
    }
    auto arg = [&](size_t i, int dflt) { return (i < p.size() && p[i] >= 0) ? p[i] : dflt; };
    switch (final) {
        case 'H':
        case 'f':
            cy_ = std::min(std::max(arg(0, 1), 1), rows_) - 1;
            cx_ = std::min(std::max(arg(1, 1), 1), cols_) - 1;
            pending_wrap_ = false;
            break;
        case 'J':
            if (arg(0, 0) == 2)
                for (Cell& c : cells_) c = Cell{U' ', attr_};
            break;
        case 'm': {
            int fg = attr_ < 0 ? -1 : (attr_ & 0x0F), bg = attr_ < 0 ? -1 : ((attr_ >> 4) & 0x0F);
            for (size_t i = 0; i < p.size(); ++i) {
                int v = p[i] < 0 ? 0 : p[i];
                if (v == 0) fg = bg = -1;
                else if (v >= 30 && v <= 37) fg = console_colour(v - 30);
                else if (v >= 90 && v <= 97) fg = console_colour(v - 90) | 8;
                else if (v >= 40 && v <= 47) bg = console_colour(v - 40);
                else if (v >= 100 && v <= 107) bg = console_colour(v - 100) | 8;
            }
            // A console attribute always has both halves; the terminal's own
            // colours are kept apart as -1.
            if (fg < 0 && bg < 0) attr_ = -1;
            else attr_ = (fg < 0 ? 7 : fg) | ((bg < 0 ? 0 : bg) << 4);
            break;
        }
        default:
            break;
    }
}

void TerminalModel::feed(const std::string& bytes) {
    for (unsigned char b : bytes) {
        switch (st_) {
            case St::Esc:
                if (b == '[') {
                    st_ = St::Csi;
                    seq_.clear();
                } else if (b == ']') {
                    st_ = St::Osc;
                    seq_.clear();
                } else {
                    st_ = St::Text;
                }
                continue;
            case St::Csi:
                if (b >= 0x40 && b <= 0x7E) {
                    csi(static_cast<char>(b), seq_);
                    st_ = St::Text;
                } else {
                    seq_ += static_cast<char>(b);
                }
                continue;
            case St::Osc:
                if (b == 0x07) {
                    if (seq_.rfind("0;", 0) == 0 || seq_.rfind("2;", 0) == 0) title_ = seq_.substr(2);
                    st_ = St::Text;
                } else if (b == 0x1B) {
                    st_ = St::OscEsc;
                } else {
                    seq_ += static_cast<char>(b);
                }
                continue;
            case St::OscEsc:
                st_ = St::Text;
                continue;
            case St::Text:
                break;
        }
        if (utf_left_ > 0) {
            if ((b & 0xC0) == 0x80) {
                utf_ = (utf_ << 6) | (b & 0x3F);
                if (--utf_left_ == 0) put(utf_);
                continue;
            }
            utf_left_ = 0;
            put(U'\uFFFD');
        }
        if (b == 0x1B) {
            st_ = St::Esc;
        } else if (b == '\r') {
            cx_ = 0;
            pending_wrap_ = false;
        } else if (b == '\n') {
            if (line_feed_returns) cx_ = 0;
            pending_wrap_ = false;
            line_feed();
        } else if (b == '\b') {
            if (cx_ > 0) --cx_;
            pending_wrap_ = false;
        } else if (b == '\a') {
        } else if (b < 0x20 || b == 0x7F) {
            put(U'\uFFFD');
        } else if (b < 0x80) {
            put(b);
        } else if ((b & 0xE0) == 0xC0) {
            utf_ = b & 0x1F;
            utf_left_ = 1;
        } else if ((b & 0xF0) == 0xE0) {
            utf_ = b & 0x0F;
            utf_left_ = 2;
        } else if ((b & 0xF8) == 0xF0) {
            utf_ = b & 0x07;
            utf_left_ = 3;
        } else {
            put(U'\uFFFD');
        }
    }
}

std::string TerminalModel::row(int r) const { return text(0, r, cols_); }

std::string TerminalModel::text(int col, int r, int n) const {
    std::string out;
    for (int c = col; c < col + n && c < cols_; ++c) append_utf8(out, at(c, r).ch);
    return out;
}

std::string TerminalModel::dump() const {
    std::string out;
    for (int r = 0; r < rows_; ++r) {
        char num[16];
        std::snprintf(num, sizeof num, "%2d|", r);
        out += num;
        out += row(r);
        out += "|\n";
    }
    return out;
}
