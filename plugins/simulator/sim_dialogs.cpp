#include "sim_dialogs.h"

#include <commctrl.h>
#include <cwchar>
#include <string>

#include "dialog_template.h"
#include "driver_kit.h"

using driver_kit::Ansi;
using driver_kit::DialogText;
using driver_kit::NumberText;
using driver_kit::ParseNumber;
using driver_kit::Wide;

namespace {

enum Control : WORD {
    kKind = 1001,
    kName,
    kDescription,
    kType,
    kBehaviour,
    kLow,
    kHigh,
    kPeriod,
    kValue,
    kReadOnly,
    kOffline,
};

const wchar_t* KindName(SimKind kind) {
    switch (kind) {
        case SimKind::Device:
            return L"Устройство";
        case SimKind::Folder:
            return L"Папка";
        case SimKind::Tag:
            return L"Тег";
    }
    return L"";
}

const wchar_t* const kBehaviourNames[] = {
    L"Постоянное значение", L"Пила (нарастание)", L"Синусоида",
    L"Случайное",           L"Счётчик",           L"Переключатель"};

struct DialogState {
    SimModel* model;
    DWORD parent;  // for a new object
    DWORD id;      // the object edited, 0 for a new one
    std::vector<SimKind> kinds;
    SimSettings settings;
};

void ShowFieldsFor(HWND dialog, SimKind kind) {
    const bool tag = kind == SimKind::Tag;
    for (int id : {kType, kBehaviour, kLow, kHigh, kPeriod, kValue, kReadOnly})
        EnableWindow(GetDlgItem(dialog, id), tag);
    // Only a device can lose its connection; for anything else the box is not shown at all.
    ShowWindow(GetDlgItem(dialog, kOffline), kind == SimKind::Device ? SW_SHOW : SW_HIDE);
}

SimKind SelectedKind(HWND dialog, const DialogState& state) {
    LRESULT at = SendDlgItemMessageW(dialog, kKind, CB_GETCURSEL, 0, 0);
    return at >= 0 && static_cast<size_t>(at) < state.kinds.size() ? state.kinds[at]
                                                                   : state.kinds.front();
}

void Fill(HWND dialog, const DialogState& state) {
    const SimSettings& s = state.settings;
    for (SimKind kind : state.kinds)
        SendDlgItemMessageW(dialog, kKind, CB_ADDSTRING, 0,
                            reinterpret_cast<LPARAM>(KindName(kind)));
    SendDlgItemMessageW(dialog, kKind, CB_SETCURSEL, 0, 0);
    EnableWindow(GetDlgItem(dialog, kKind), state.id == 0 && state.kinds.size() > 1);
    SetDlgItemTextW(dialog, kName, Wide(s.name).c_str());
    SetDlgItemTextW(dialog, kDescription, Wide(s.description).c_str());
    const auto& types = SimTypes();
    for (size_t i = 0; i < types.size(); ++i) {
        SendDlgItemMessageW(dialog, kType, CB_ADDSTRING, 0,
                            reinterpret_cast<LPARAM>(SimTypeName(types[i])));
        if (types[i] == s.type) SendDlgItemMessageW(dialog, kType, CB_SETCURSEL, i, 0);
    }
    for (const wchar_t* name : kBehaviourNames)
        SendDlgItemMessageW(dialog, kBehaviour, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name));
    SendDlgItemMessageW(dialog, kBehaviour, CB_SETCURSEL, static_cast<WPARAM>(s.behaviour), 0);
    SetDlgItemTextW(dialog, kLow, NumberText(s.low).c_str());
    SetDlgItemTextW(dialog, kHigh, NumberText(s.high).c_str());
    SetDlgItemTextW(dialog, kPeriod, NumberText(s.periodSeconds).c_str());
    SetDlgItemTextW(dialog, kValue, s.initialValue.c_str());
    CheckDlgButton(dialog, kReadOnly, s.readOnly ? BST_CHECKED : BST_UNCHECKED);
    CheckDlgButton(dialog, kOffline, s.offline ? BST_CHECKED : BST_UNCHECKED);
    ShowFieldsFor(dialog, state.kinds.front());
}

void Complain(HWND dialog, const wchar_t* text, int focus) {
    driver_kit::Complain(dialog, L"Симулятор", text, focus);
}

// Reads the fields back; false (with a message) when something is not acceptable.
bool Accept(HWND dialog, DialogState& state) {
    SimSettings s = state.settings;
    s.kind = state.id ? state.settings.kind : SelectedKind(dialog, state);
    s.name = Ansi(DialogText(dialog, kName));
    s.description = Ansi(DialogText(dialog, kDescription));
    if (!SimModel::ValidName(s.name)) {
        Complain(dialog,
                 L"Имя объекта не может быть пустым, длиннее 64 символов или содержать точку.",
                 kName);
        return false;
    }
    if (s.kind == SimKind::Tag) {
        LRESULT type = SendDlgItemMessageW(dialog, kType, CB_GETCURSEL, 0, 0);
        LRESULT behaviour = SendDlgItemMessageW(dialog, kBehaviour, CB_GETCURSEL, 0, 0);
        if (type < 0 || behaviour < 0) {
            Complain(dialog, L"Выберите тип данных и поведение тега.", kType);
            return false;
        }
        s.type = SimTypes()[type];
        s.behaviour = static_cast<SimBehaviour>(behaviour);
        const bool periodic = s.behaviour == SimBehaviour::Ramp ||
                              s.behaviour == SimBehaviour::Sine ||
                              s.behaviour == SimBehaviour::Toggle;
        if (!ParseNumber(DialogText(dialog, kLow), s.low) ||
            !ParseNumber(DialogText(dialog, kHigh), s.high) ||
            !ParseNumber(DialogText(dialog, kPeriod), s.periodSeconds) || s.periodSeconds < 0 ||
            (periodic && s.periodSeconds == 0)) {
            Complain(dialog,
                     L"Минимум, максимум и период должны быть числами; у пилы, синусоиды и "
                     L"переключателя период больше нуля.",
                     kLow);
            return false;
        }
        s.initialValue = DialogText(dialog, kValue);
        s.readOnly = IsDlgButtonChecked(dialog, kReadOnly) == BST_CHECKED;
    }
    s.offline = s.kind == SimKind::Device && IsDlgButtonChecked(dialog, kOffline) == BST_CHECKED;
    const bool stored =
        state.id ? state.model->Edit(state.id, s) : state.model->Add(state.parent, s) != 0;
    if (!stored) {
        Complain(dialog, L"Объект с таким именем уже есть на этом уровне.", kName);
        return false;
    }
    return true;
}

INT_PTR RunDialog(HINSTANCE instance, HWND owner, const wchar_t* title, DialogState& state) {
    DialogTemplate t(title, 274, 228);
    const DWORD label = SS_LEFT;
    const DWORD edit = WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL;
    const DWORD list = CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP;
    const WORD noId = 0xFFFF;
    const struct {
        const wchar_t* text;
        WORD id;
        DialogTemplate::Class type;
        DWORD style;
    } rows[] = {
        {L"Вид объекта:", kKind, DialogTemplate::ComboBox, list},
        {L"Имя:", kName, DialogTemplate::Edit, edit},
        {L"Описание:", kDescription, DialogTemplate::Edit, edit},
        {L"Тип данных:", kType, DialogTemplate::ComboBox, list},
        {L"Поведение:", kBehaviour, DialogTemplate::ComboBox, list},
        {L"Минимум:", kLow, DialogTemplate::Edit, edit},
        {L"Максимум:", kHigh, DialogTemplate::Edit, edit},
        {L"Период, с:", kPeriod, DialogTemplate::Edit, edit},
        {L"Значение:", kValue, DialogTemplate::Edit, edit},
    };
    short y = 10;
    for (const auto& row : rows) {
        t.Add(noId, DialogTemplate::Static, label, 10, y + 2, 72, 10, row.text);
        const short height = row.type == DialogTemplate::ComboBox ? 120 : 13;
        t.Add(row.id, row.type, row.style, 85, y, 179, height);
        y += 18;
    }
    t.Add(kReadOnly, DialogTemplate::Button, BS_AUTOCHECKBOX | WS_TABSTOP, 85, y, 179, 12,
          L"Только чтение");
    t.Add(kOffline, DialogTemplate::Button, BS_AUTOCHECKBOX | WS_TABSTOP, 85, y + 14, 179, 12,
          L"Нет связи с устройством");
    t.Add(IDOK, DialogTemplate::Button, BS_DEFPUSHBUTTON | WS_TABSTOP, 158, y + 34, 50, 14, L"ОК");
    t.Add(IDCANCEL, DialogTemplate::Button, BS_PUSHBUTTON | WS_TABSTOP, 214, y + 34, 50, 14,
          L"Отмена");
    driver_kit::DialogHandlers handlers;
    handlers.fill = [&](HWND dialog) { Fill(dialog, state); };
    handlers.changed = [&](HWND dialog, WORD id, WORD code) {
        if (id == kKind && code == CBN_SELCHANGE)
            ShowFieldsFor(dialog, SelectedKind(dialog, state));
    };
    handlers.accept = [&](HWND dialog) { return Accept(dialog, state); };
    return driver_kit::RunModalDialog(instance, owner, t, handlers);
}

}  // namespace

bool ShowAddObjectDialog(HINSTANCE instance, HWND owner, SimModel& model, DWORD parent) {
    DialogState state{&model, parent, 0, {}, {}};
    std::optional<SimSettings> parentSettings = model.Settings(parent);
    if (!parentSettings) return false;
    if (parent == 0)
        state.kinds = {SimKind::Device};
    else if (parentSettings->kind == SimKind::Tag)
        state.kinds = {SimKind::Tag};
    else
        state.kinds = {SimKind::Tag, SimKind::Folder};
    state.settings.kind = state.kinds.front();
    return RunDialog(instance, owner, L"Новый объект симулятора", state) == IDOK;
}

bool ShowEditObjectDialog(HINSTANCE instance, HWND owner, SimModel& model, DWORD id) {
    std::optional<SimSettings> settings = model.Settings(id);
    if (id == 0 || !settings) return false;
    DialogState state{&model, 0, id, {settings->kind}, *settings};
    return RunDialog(instance, owner, L"Свойства объекта симулятора", state) == IDOK;
}
