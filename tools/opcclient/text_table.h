// Columns aligned for a terminal: widths from the widest cell, two spaces between columns,
// a rule under the header. Widths count UTF-16 units, which is right for the Latin and
// Cyrillic names OPC servers use.
#pragma once

#include <string>
#include <vector>

class TextTable {
  public:
    explicit TextTable(std::vector<std::wstring> headers);
    // Numbers read better right-aligned.
    void AlignRight(size_t column);
    void AddRow(std::vector<std::wstring> cells);
    std::wstring Render() const;

  private:
    std::vector<std::wstring> headers_;
    std::vector<bool> right_;
    std::vector<std::vector<std::wstring>> rows_;
};
