#include "text_table.h"

#include <algorithm>

TextTable::TextTable(std::vector<std::wstring> headers)
    : headers_(std::move(headers)), right_(headers_.size(), false) {}

void TextTable::AlignRight(size_t column) {
    if (column < right_.size()) right_[column] = true;
}

void TextTable::AddRow(std::vector<std::wstring> cells) {
    cells.resize(headers_.size());
    rows_.push_back(std::move(cells));
}

std::wstring TextTable::Render() const {
    std::vector<size_t> widths(headers_.size());
    for (size_t c = 0; c < headers_.size(); ++c) {
        widths[c] = headers_[c].size();
        for (const auto& row : rows_) widths[c] = std::max(widths[c], row[c].size());
    }
    auto line = [&](const std::vector<std::wstring>& cells) {
        std::wstring text;
        for (size_t c = 0; c < cells.size(); ++c) {
            const std::wstring padding(widths[c] - cells[c].size(), L' ');
            const bool last = c + 1 == cells.size();
            if (c > 0) text += L"  ";
            if (right_[c])
                text += padding + cells[c];
            else
                text += last ? cells[c] : cells[c] + padding;
        }
        return text + L"\n";
    };
    std::wstring text = line(headers_);
    std::vector<std::wstring> rule(headers_.size());
    for (size_t c = 0; c < headers_.size(); ++c) rule[c].assign(widths[c], L'-');
    text += line(rule);
    for (const auto& row : rows_) text += line(row);
    return text;
}
