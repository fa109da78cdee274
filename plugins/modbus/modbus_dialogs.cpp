#include "modbus_dialogs.h"

#include <commdlg.h>
#include <cwchar>
#include <initializer_list>
#include <iterator>
#include <string>
#include <vector>

#include "address_notation.h"
#include "dialog_template.h"
#include "driver_kit.h"
#include "modbus_dialog_controls.h"
#include "tag_csv.h"
#include "text_file.h"

namespace modbus {

using driver_kit::Ansi;
using driver_kit::DialogText;
using driver_kit::NumberText;
using driver_kit::ParseNumber;
using driver_kit::Wide;

namespace {

using namespace dialog;

constexpr const wchar_t* kCaption = L"Modbus TCP";

const Control kDeviceControls[] = {kTransport, kHost,     kPort, kPortName, kBaud,    kDataBits,
                                   kParity,    kStopBits, kUnit, kPoll,     kTimeout, kRetries};
const Control kNetworkControls[] = {kHost, kPort};
const Control kLineControls[] = {kPortName, kBaud, kDataBits, kParity, kStopBits};
const Control kTagControls[] = {
    kTable,  kAddress, kNotation, kType,   kStringRegisters, kLowWordFirst, kSwapBytes, kScaled,
    kRawLow, kRawHigh, kEuLow,    kEuHigh, kRanged,          kRangeLow,     kRangeHigh, kUnits};

const wchar_t* KindName(Kind kind) {
    switch (kind) {
        case Kind::kDevice:
            return L"Устройство";
        case Kind::kFolder:
            return L"Папка";
        case Kind::kTag:
            return L"Тег";
    }
    return L"";
}

// A whole number within [low, high]; spaces around it are forgiven.
bool ParseWhole(const std::wstring& text, unsigned long low, unsigned long high,
                unsigned long& value) {
    const wchar_t* p = text.c_str();
    while (*p == L' ') ++p;
    if (*p < L'0' || *p > L'9') return false;
    wchar_t* end = nullptr;
    value = wcstoul(p, &end, 10);
    while (end && *end == L' ') ++end;
    return end && *end == 0 && value >= low && value <= high;
}

struct DialogState {
    Model* model;
    DWORD parent;  // for a new object
    DWORD id;      // the object edited, 0 for a new one
    std::vector<Kind> kinds;
    ObjectSettings settings;
    LinkBook* links = nullptr;  // an edited device's counters, for the reset button
    bool tagsImported = false;  // the model changed even if the dialog is cancelled
};

Kind SelectedKind(HWND dialog, const DialogState& state) {
    const LRESULT at = SendDlgItemMessageW(dialog, kKind, CB_GETCURSEL, 0, 0);
    return at >= 0 && static_cast<size_t>(at) < state.kinds.size() ? state.kinds[at]
                                                                   : state.kinds.front();
}

void ShowFieldsFor(HWND dialog, Kind kind) {
    for (Control c : kDeviceControls) {
        ShowWindow(GetDlgItem(dialog, c), kind == Kind::kDevice ? SW_SHOW : SW_HIDE);
        ShowWindow(GetDlgItem(dialog, c + 100), kind == Kind::kDevice ? SW_SHOW : SW_HIDE);
    }
    for (Control c : kTagControls) {
        ShowWindow(GetDlgItem(dialog, c), kind == Kind::kTag ? SW_SHOW : SW_HIDE);
        ShowWindow(GetDlgItem(dialog, c + 100), kind == Kind::kTag ? SW_SHOW : SW_HIDE);
    }
}

// A list's choice, or `fallback` when there is none in [0, count).
size_t Selected(HWND dialog, Control list, size_t count, size_t fallback) {
    const LRESULT at = SendDlgItemMessageW(dialog, list, CB_GETCURSEL, 0, 0);
    return at >= 0 && static_cast<size_t>(at) < count ? static_cast<size_t>(at) : fallback;
}

Transport SelectedTransport(HWND dialog) {
    return static_cast<Transport>(Selected(dialog, kTransport, 3, 0));
}

// A device's address fields, or its serial line's, as its transport needs.
void EnableForTransport(HWND dialog) {
    const bool serial = SelectedTransport(dialog) == Transport::kRtu;
    for (Control c : kNetworkControls) EnableWindow(GetDlgItem(dialog, c), !serial);
    for (Control c : kLineControls) EnableWindow(GetDlgItem(dialog, c), serial);
}

void AddChoices(HWND dialog, Control list, std::initializer_list<const wchar_t*> choices,
                size_t selected) {
    for (const wchar_t* choice : choices)
        SendDlgItemMessageW(dialog, list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(choice));
    SendDlgItemMessageW(dialog, list, CB_SETCURSEL, selected, 0);
}

Table SelectedTable(HWND dialog) {
    const LRESULT at = SendDlgItemMessageW(dialog, kTable, CB_GETCURSEL, 0, 0);
    return at >= 0 && at <= 3 ? static_cast<Table>(at) : Table::kHoldingRegister;
}

// The address as engineers write it, next to the zero-based one being typed.
void ShowNotation(HWND dialog) {
    unsigned long address = 0;
    const bool valid = ParseWhole(DialogText(dialog, kAddress), 0, 65535, address);
    const std::wstring shown =
        valid ? Wide(EngineerAddress(SelectedTable(dialog), static_cast<uint16_t>(address))) : L"";
    SetDlgItemTextW(dialog, kNotation, shown.c_str());
}

void Fill(HWND dialog, const DialogState& state) {
    const ObjectSettings& s = state.settings;
    for (Kind kind : state.kinds)
        SendDlgItemMessageW(dialog, kKind, CB_ADDSTRING, 0,
                            reinterpret_cast<LPARAM>(KindName(kind)));
    SendDlgItemMessageW(dialog, kKind, CB_SETCURSEL, 0, 0);
    EnableWindow(GetDlgItem(dialog, kKind), state.id == 0 && state.kinds.size() > 1);
    SetDlgItemTextW(dialog, kName, Wide(s.name).c_str());
    SetDlgItemTextW(dialog, kDescription, Wide(s.description).c_str());

    const DeviceSettings& d = s.device;
    AddChoices(dialog, kTransport,
               {L"Modbus TCP", L"Modbus RTU через TCP", L"Modbus RTU (последовательный порт)"},
               static_cast<size_t>(d.transport));
    SetDlgItemTextW(dialog, kHost, Wide(d.host).c_str());
    SetDlgItemInt(dialog, kPort, d.port, FALSE);
    SetDlgItemTextW(dialog, kPortName, Wide(d.portName).c_str());
    size_t baud = 3;  // 9600
    for (size_t i = 0; i < std::size(kBaudRates); ++i) {
        SendDlgItemMessageW(dialog, kBaud, CB_ADDSTRING, 0,
                            reinterpret_cast<LPARAM>(std::to_wstring(kBaudRates[i]).c_str()));
        if (kBaudRates[i] == d.baud) baud = i;
    }
    SendDlgItemMessageW(dialog, kBaud, CB_SETCURSEL, baud, 0);
    AddChoices(dialog, kDataBits, {L"7", L"8"}, d.dataBits == 7 ? 0 : 1);
    AddChoices(dialog, kParity, {L"нет", L"чётная", L"нечётная"}, static_cast<size_t>(d.parity));
    AddChoices(dialog, kStopBits, {L"1", L"2"}, d.stopBits == 2 ? 1 : 0);
    SetDlgItemInt(dialog, kUnit, d.unit, FALSE);
    SetDlgItemInt(dialog, kPoll, d.pollMs, FALSE);
    SetDlgItemInt(dialog, kTimeout, d.timeoutMs, FALSE);
    SetDlgItemInt(dialog, kRetries, d.retries, FALSE);

    const TagSettings& t = s.tag;
    const Encoding& e = t.encoding;
    for (Table table :
         {Table::kCoil, Table::kDiscreteInput, Table::kInputRegister, Table::kHoldingRegister})
        SendDlgItemMessageW(dialog, kTable, CB_ADDSTRING, 0,
                            reinterpret_cast<LPARAM>(TableName(table)));
    SendDlgItemMessageW(dialog, kTable, CB_SETCURSEL, static_cast<WPARAM>(t.table), 0);
    SetDlgItemInt(dialog, kAddress, t.address, FALSE);
    for (int type = 0; type <= static_cast<int>(DataType::kString); ++type)
        SendDlgItemMessageW(dialog, kType, CB_ADDSTRING, 0,
                            reinterpret_cast<LPARAM>(TypeName(static_cast<DataType>(type))));
    SendDlgItemMessageW(dialog, kType, CB_SETCURSEL, static_cast<WPARAM>(e.type), 0);
    SetDlgItemInt(dialog, kStringRegisters, e.stringRegisters, FALSE);
    CheckDlgButton(dialog, kLowWordFirst, e.lowWordFirst ? BST_CHECKED : BST_UNCHECKED);
    CheckDlgButton(dialog, kSwapBytes, e.swapBytes ? BST_CHECKED : BST_UNCHECKED);
    CheckDlgButton(dialog, kScaled, e.scaling.enabled ? BST_CHECKED : BST_UNCHECKED);
    SetDlgItemTextW(dialog, kRawLow, NumberText(e.scaling.rawLow).c_str());
    SetDlgItemTextW(dialog, kRawHigh, NumberText(e.scaling.rawHigh).c_str());
    SetDlgItemTextW(dialog, kEuLow, NumberText(e.scaling.euLow).c_str());
    SetDlgItemTextW(dialog, kEuHigh, NumberText(e.scaling.euHigh).c_str());
    CheckDlgButton(dialog, kRanged, t.ranged ? BST_CHECKED : BST_UNCHECKED);
    SetDlgItemTextW(dialog, kRangeLow, NumberText(t.rangeLow).c_str());
    SetDlgItemTextW(dialog, kRangeHigh, NumberText(t.rangeHigh).c_str());
    SetDlgItemTextW(dialog, kUnits, Wide(t.units).c_str());
    ShowNotation(dialog);
    ShowFieldsFor(dialog, state.kinds.front());
    EnableForTransport(dialog);
    const bool device = state.id && s.kind == Kind::kDevice;
    ShowWindow(GetDlgItem(dialog, kResetDiagnostics), device && state.links ? SW_SHOW : SW_HIDE);
    ShowWindow(GetDlgItem(dialog, kImportCsv), device ? SW_SHOW : SW_HIDE);
    ShowWindow(GetDlgItem(dialog, kExportCsv), device ? SW_SHOW : SW_HIDE);
}

// The standard file dialog for a tag list; empty when cancelled.
std::wstring AskCsvPath(HWND dialog, bool save) {
    wchar_t path[MAX_PATH] = L"";
    OPENFILENAMEW ofn{};
    ofn.lStructSize = sizeof(ofn);
    ofn.hwndOwner = dialog;
    ofn.lpstrFilter = L"Таблицы CSV (*.csv)\0*.csv\0Все файлы (*.*)\0*.*\0";
    ofn.lpstrFile = path;
    ofn.nMaxFile = MAX_PATH;
    ofn.lpstrDefExt = L"csv";
    ofn.Flags = save ? OFN_OVERWRITEPROMPT | OFN_PATHMUSTEXIST : OFN_FILEMUSTEXIST;
    const BOOL chosen = save ? GetSaveFileNameW(&ofn) : GetOpenFileNameW(&ofn);
    return chosen ? path : L"";
}

void ExportCsv(HWND dialog, const DialogState& state) {
    const std::wstring path = AskCsvPath(dialog, true);
    if (path.empty()) return;
    if (!WriteWholeFile(path, WriteTagCsv(*state.model, state.id)))
        MessageBoxW(dialog, (L"Не удалось записать " + path).c_str(), kCaption,
                    MB_OK | MB_ICONWARNING);
}

// All rows or none; with refused rows the user may take the good ones.
void ImportCsv(HWND dialog, DialogState& state) {
    const std::wstring path = AskCsvPath(dialog, false);
    if (path.empty()) return;
    std::string bytes;
    if (!ReadWholeFile(path, bytes, kMaxCsvBytes)) {
        MessageBoxW(dialog, (L"Не удалось прочитать " + path).c_str(), kCaption,
                    MB_OK | MB_ICONWARNING);
        return;
    }
    const TagImport import = ReadTagCsv(*state.model, state.id, bytes);
    if (!import.refused.empty()) {
        std::wstring text = L"Строки, которые нельзя принять:\n" + RefusalText(import, 25);
        if (import.good.empty()) {
            MessageBoxW(dialog, (text + L"\nНичего не добавлено.").c_str(), kCaption,
                        MB_OK | MB_ICONWARNING);
            return;
        }
        text += L"\nДобавить остальные строки (" + std::to_wstring(import.good.size()) +
                L")?\n«Да» — добавить их, «Нет» или «Отмена» — ничего не добавлять.";
        if (MessageBoxW(dialog, text.c_str(), kCaption, MB_YESNOCANCEL | MB_ICONWARNING) != IDYES)
            return;
    }
    const size_t added = AddTagRows(*state.model, state.id, import.good);
    state.tagsImported = state.tagsImported || added > 0;
    MessageBoxW(dialog, (L"Добавлено тегов: " + std::to_wstring(added) + L".").c_str(), kCaption,
                MB_OK | MB_ICONINFORMATION);
}

// Reads the device's fields; false (with a message) for what is not a number in range.
bool ReadDevice(HWND dialog, DeviceSettings& d) {
    unsigned long port = d.port, unit, poll, timeout, retries;
    d.transport = SelectedTransport(dialog);
    if (d.transport == Transport::kRtu) {
        d.portName = Ansi(DialogText(dialog, kPortName));
        d.baud = kBaudRates[Selected(dialog, kBaud, std::size(kBaudRates), 3)];
        d.dataBits = Selected(dialog, kDataBits, 2, 1) == 0 ? 7 : 8;
        d.parity = static_cast<Parity>(Selected(dialog, kParity, 3, 1));
        d.stopBits = Selected(dialog, kStopBits, 2, 0) == 0 ? 1 : 2;
    } else {
        d.host = Ansi(DialogText(dialog, kHost));
        if (!ParseWhole(DialogText(dialog, kPort), 1, 65535, port)) {
            driver_kit::Complain(dialog, kCaption, L"Порт должен быть от 1 до 65535.", kPort);
            return false;
        }
    }
    if (!ParseWhole(DialogText(dialog, kUnit), 0, 255, unit)) {
        driver_kit::Complain(dialog, kCaption,
                             L"Адрес ведомого (unit id) должен быть от 0 до 247 или 255.", kUnit);
        return false;
    }
    if (!ParseWhole(DialogText(dialog, kPoll), 0, kMaxPollMs, poll) ||
        !ParseWhole(DialogText(dialog, kTimeout), 0, kMaxTimeoutMs, timeout) ||
        !ParseWhole(DialogText(dialog, kRetries), 0, kMaxRetries, retries)) {
        driver_kit::Complain(
            dialog, kCaption,
            L"Период опроса (50 мс – 1 ч), время ожидания (50 мс – 60 с) и число повторов "
            L"(0–10) должны быть целыми числами.",
            kPoll);
        return false;
    }
    d.port = static_cast<uint16_t>(port);
    d.unit = static_cast<uint8_t>(unit);
    d.pollMs = poll;
    d.timeoutMs = timeout;
    d.retries = static_cast<uint8_t>(retries);
    return true;
}

bool ReadTag(HWND dialog, TagSettings& t) {
    unsigned long address, registers = 0;
    t.table = SelectedTable(dialog);
    if (!ParseWhole(DialogText(dialog, kAddress), 0, 65535, address)) {
        driver_kit::Complain(dialog, kCaption,
                             L"Адрес регистра (с нуля) должен быть от 0 до 65535.", kAddress);
        return false;
    }
    t.address = static_cast<uint16_t>(address);
    Encoding& e = t.encoding;
    const LRESULT type = SendDlgItemMessageW(dialog, kType, CB_GETCURSEL, 0, 0);
    e.type = type >= 0 && type <= static_cast<LRESULT>(DataType::kString)
                 ? static_cast<DataType>(type)
                 : DataType::kUInt16;
    if (e.type == DataType::kString &&
        !ParseWhole(DialogText(dialog, kStringRegisters), 1, kMaxReadRegisters, registers)) {
        driver_kit::Complain(dialog, kCaption, L"Строка занимает от 1 до 125 регистров.",
                             kStringRegisters);
        return false;
    }
    e.stringRegisters = static_cast<uint16_t>(registers);
    e.lowWordFirst = IsDlgButtonChecked(dialog, kLowWordFirst) == BST_CHECKED;
    e.swapBytes = IsDlgButtonChecked(dialog, kSwapBytes) == BST_CHECKED;
    e.scaling.enabled = IsDlgButtonChecked(dialog, kScaled) == BST_CHECKED;
    if (e.scaling.enabled && (!ParseNumber(DialogText(dialog, kRawLow), e.scaling.rawLow) ||
                              !ParseNumber(DialogText(dialog, kRawHigh), e.scaling.rawHigh) ||
                              !ParseNumber(DialogText(dialog, kEuLow), e.scaling.euLow) ||
                              !ParseNumber(DialogText(dialog, kEuHigh), e.scaling.euHigh))) {
        driver_kit::Complain(dialog, kCaption, L"Границы масштабирования должны быть числами.",
                             kRawLow);
        return false;
    }
    t.ranged = IsDlgButtonChecked(dialog, kRanged) == BST_CHECKED;
    if (t.ranged && (!ParseNumber(DialogText(dialog, kRangeLow), t.rangeLow) ||
                     !ParseNumber(DialogText(dialog, kRangeHigh), t.rangeHigh))) {
        driver_kit::Complain(dialog, kCaption, L"Границы диапазона должны быть числами.",
                             kRangeLow);
        return false;
    }
    t.units = Ansi(DialogText(dialog, kUnits));
    return true;
}

bool Accept(HWND dialog, DialogState& state) {
    ObjectSettings s = state.settings;
    s.kind = state.id ? state.settings.kind : SelectedKind(dialog, state);
    s.name = Ansi(DialogText(dialog, kName));
    s.description = Ansi(DialogText(dialog, kDescription));
    if (s.kind == Kind::kDevice && !ReadDevice(dialog, s.device)) return false;
    if (s.kind == Kind::kTag && !ReadTag(dialog, s.tag)) return false;
    // The model's own checks, so the dialog refuses exactly what the model would.
    const std::wstring why = state.model->Check(state.parent, state.id, s);
    if (!why.empty()) {
        driver_kit::Complain(dialog, kCaption, why, kName);
        return false;
    }
    const bool stored =
        state.id ? state.model->Edit(state.id, s) : state.model->Add(state.parent, s) != 0;
    if (!stored)
        driver_kit::Complain(dialog, kCaption, L"Объект удалён или изменён, пока открыт диалог.",
                             kName);
    return stored;
}

INT_PTR RunDialog(HINSTANCE instance, HWND owner, const wchar_t* title, DialogState& state) {
    DialogTemplate t(title, 284, 375);
    const DWORD label = SS_LEFT;
    const DWORD edit = WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL;
    const DWORD list = CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP;
    const DWORD check = BS_AUTOCHECKBOX | WS_TABSTOP;
    struct Row {
        const wchar_t* text;
        WORD id;
        DialogTemplate::Class type;
        DWORD style;
    };
    auto place = [&](const Row& row, short y, short width = 189) {
        // Each label's id is its field's plus 100, so both are shown and hidden together.
        if (row.type != DialogTemplate::Button)
            t.Add(static_cast<WORD>(row.id + 100), DialogTemplate::Static, label, 10, y + 2, 82, 10,
                  row.text);
        const short height = row.type == DialogTemplate::ComboBox ? 120 : 13;
        if (row.type == DialogTemplate::Button)
            t.Add(row.id, row.type, row.style, 95, y, width, 12, row.text);
        else
            t.Add(row.id, row.type, row.style, 95, y, width, height);
    };
    const Row common[] = {
        {L"Вид объекта:", kKind, DialogTemplate::ComboBox, list},
        {L"Имя:", kName, DialogTemplate::Edit, edit},
        {L"Описание:", kDescription, DialogTemplate::Edit, edit},
    };
    short y = 10;
    for (const Row& row : common) {
        place(row, y);
        y += 18;
    }
    const short first = y;
    const Row device[] = {
        {L"Связь:", kTransport, DialogTemplate::ComboBox, list},
        {L"Хост или IP-адрес:", kHost, DialogTemplate::Edit, edit},
        {L"Порт TCP:", kPort, DialogTemplate::Edit, edit | ES_NUMBER},
        {L"COM-порт:", kPortName, DialogTemplate::Edit, edit},
        {L"Скорость, бит/с:", kBaud, DialogTemplate::ComboBox, list},
        {L"Биты данных:", kDataBits, DialogTemplate::ComboBox, list},
        {L"Чётность:", kParity, DialogTemplate::ComboBox, list},
        {L"Стоповые биты:", kStopBits, DialogTemplate::ComboBox, list},
        {L"Unit id:", kUnit, DialogTemplate::Edit, edit | ES_NUMBER},
        {L"Период опроса, мс:", kPoll, DialogTemplate::Edit, edit | ES_NUMBER},
        {L"Ожидание ответа, мс:", kTimeout, DialogTemplate::Edit, edit | ES_NUMBER},
        {L"Повторов:", kRetries, DialogTemplate::Edit, edit | ES_NUMBER},
    };
    for (const Row& row : device) {
        place(row, y);
        y += 18;
    }
    t.Add(kResetDiagnostics, DialogTemplate::Button, BS_PUSHBUTTON | WS_TABSTOP, 95, y + 4, 90, 14,
          L"Сбросить диагностику");
    t.Add(kImportCsv, DialogTemplate::Button, BS_PUSHBUTTON | WS_TABSTOP, 95, y + 22, 90, 14,
          L"Импорт CSV...");
    t.Add(kExportCsv, DialogTemplate::Button, BS_PUSHBUTTON | WS_TABSTOP, 194, y + 22, 90, 14,
          L"Экспорт CSV...");
    y = first;
    place({L"Таблица:", kTable, DialogTemplate::ComboBox, list}, y);
    y += 18;
    place({L"Адрес (с нуля):", kAddress, DialogTemplate::Edit, edit | ES_NUMBER}, y, 80);
    t.Add(kNotation, DialogTemplate::Static, label, 185, y + 2, 99, 10);
    y += 18;
    const Row tag[] = {
        {L"Тип данных:", kType, DialogTemplate::ComboBox, list},
        {L"Регистров строки:", kStringRegisters, DialogTemplate::Edit, edit | ES_NUMBER},
        {L"Младшее слово первым", kLowWordFirst, DialogTemplate::Button, check},
        {L"Байты в регистре переставлены", kSwapBytes, DialogTemplate::Button, check},
        {L"Линейное масштабирование", kScaled, DialogTemplate::Button, check},
        {L"Сырое значение от:", kRawLow, DialogTemplate::Edit, edit},
        {L"Сырое значение до:", kRawHigh, DialogTemplate::Edit, edit},
        {L"Инж. единицы от:", kEuLow, DialogTemplate::Edit, edit},
        {L"Инж. единицы до:", kEuHigh, DialogTemplate::Edit, edit},
        {L"Свой диапазон для клиентов", kRanged, DialogTemplate::Button, check},
        {L"Диапазон от:", kRangeLow, DialogTemplate::Edit, edit},
        {L"Диапазон до:", kRangeHigh, DialogTemplate::Edit, edit},
        {L"Единицы измерения:", kUnits, DialogTemplate::Edit, edit},
    };
    for (const Row& row : tag) {
        place(row, y);
        y += row.type == DialogTemplate::Button ? 15 : 18;
    }
    t.Add(IDOK, DialogTemplate::Button, BS_DEFPUSHBUTTON | WS_TABSTOP, 168, y + 8, 50, 14, L"ОК");
    t.Add(IDCANCEL, DialogTemplate::Button, BS_PUSHBUTTON | WS_TABSTOP, 224, y + 8, 50, 14,
          L"Отмена");
    driver_kit::DialogHandlers handlers;
    handlers.fill = [&](HWND dialog) { Fill(dialog, state); };
    handlers.changed = [&](HWND dialog, WORD id, WORD code) {
        if (id == kKind && code == CBN_SELCHANGE)
            ShowFieldsFor(dialog, SelectedKind(dialog, state));
        if (id == kTransport && code == CBN_SELCHANGE) EnableForTransport(dialog);
        if ((id == kTable && code == CBN_SELCHANGE) || (id == kAddress && code == EN_CHANGE))
            ShowNotation(dialog);
        if (id == kResetDiagnostics && code == BN_CLICKED && state.links) {
            state.links->Reset(state.id);
            MessageBoxW(dialog, L"Счётчики диагностики устройства сброшены.", kCaption,
                        MB_OK | MB_ICONINFORMATION);
        }
        if (id == kImportCsv && code == BN_CLICKED) ImportCsv(dialog, state);
        if (id == kExportCsv && code == BN_CLICKED) ExportCsv(dialog, state);
    };
    handlers.accept = [&](HWND dialog) { return Accept(dialog, state); };
    return driver_kit::RunModalDialog(instance, owner, t, handlers);
}

}  // namespace

bool ShowAddDialog(HINSTANCE instance, HWND owner, Model& model, DWORD parent) {
    DialogState state{&model, parent, 0, {}, {}};
    if (parent == 0) {
        state.kinds = {Kind::kDevice};
    } else {
        const std::optional<Kind> kind = model.KindOf(parent);
        if (!kind || *kind == Kind::kTag) return false;
        state.kinds = {Kind::kTag, Kind::kFolder};
    }
    state.settings.kind = state.kinds.front();
    state.settings.device.pollMs = 1000;
    return RunDialog(instance, owner, L"Новый объект Modbus TCP", state) == IDOK;
}

bool ShowEditDialog(HINSTANCE instance, HWND owner, Model& model, DWORD id, LinkBook* links) {
    const std::optional<ObjectSettings> settings = model.Settings(id);
    if (id == 0 || !settings) return false;
    DialogState state{&model, 0, id, {settings->kind}, *settings, links};
    return RunDialog(instance, owner, L"Свойства объекта Modbus TCP", state) == IDOK ||
           state.tagsImported;
}

}  // namespace modbus
