#include "item_set.h"

#include "console_output.h"

ItemSet AddItemSet(Connection& connection, Group& group, const std::vector<std::wstring>& ids) {
    ItemSet set;
    set.added = group.AddItems(ids);
    set.reports.resize(ids.size());
    for (size_t i = 0; i < ids.size(); ++i) {
        ItemReport& report = set.reports[i];
        report.item = ids[i];
        report.type = set.added[i].canonicalType;
        report.error = set.added[i].error;
        if (FAILED(report.error)) {
            report.errorText = connection.ErrorText(report.error);
            continue;
        }
        set.handles.push_back(set.added[i].server);
        set.positions.push_back(i);
    }
    return set;
}

namespace {

void TakeState(Connection& connection, ItemReport& report, ItemState& state) {
    report.error = state.error;
    report.errorText = state.error == S_OK ? L"" : connection.ErrorText(state.error);
    if (FAILED(state.error)) {
        report.value.Clear();
        report.quality.reset();
        report.timestamp = FILETIME{};
        return;
    }
    report.value = std::move(state.value);
    if (report.value.Type() != VT_EMPTY) report.type = report.value.Type();
    report.quality = state.quality;
    report.timestamp = state.timestamp;
}

}  // namespace

void TakeStates(Connection& connection, ItemSet& set, std::vector<ItemState>& states) {
    for (size_t j = 0; j < states.size() && j < set.positions.size(); ++j)
        TakeState(connection, set.reports[set.positions[j]], states[j]);
}

std::vector<size_t> TakeCallback(Connection& connection, ItemSet& set, DWORD count,
                                 const OPCHANDLE* clients, const VARIANT* values,
                                 const WORD* qualities, const FILETIME* timestamps,
                                 const HRESULT* errors) {
    std::vector<size_t> taken;
    for (DWORD i = 0; i < count; ++i) {
        const size_t position = static_cast<size_t>(clients[i]) - 1;
        if (clients[i] == 0 || position >= set.reports.size()) continue;  // not ours
        ItemState state;
        state.error = errors[i];
        state.value = Variant(values[i]);
        state.quality = qualities[i];
        state.timestamp = timestamps[i];
        TakeState(connection, set.reports[position], state);
        taken.push_back(position);
    }
    return taken;
}

std::vector<size_t> TakeStream(Connection& connection, ItemSet& set,
                               const opcstream::ReadStream& stream) {
    const size_t n = stream.items.size();
    std::vector<OPCHANDLE> clients(n);
    std::vector<VARIANT> values(n);
    std::vector<WORD> qualities(n);
    std::vector<FILETIME> timestamps(n);
    std::vector<HRESULT> errors(n, S_OK);
    for (size_t i = 0; i < n; ++i) {
        clients[i] = stream.items[i].client;
        values[i] = *stream.items[i].value.Get();  // lent: TakeCallback copies
        qualities[i] = stream.items[i].quality;
        timestamps[i] = stream.items[i].timestamp;
    }
    return TakeCallback(connection, set, static_cast<DWORD>(n), clients.data(), values.data(),
                        qualities.data(), timestamps.data(), errors.data());
}

bool ReportRefusedItems(const ItemSet& set) {
    bool any = false;
    for (size_t i = 0; i < set.reports.size(); ++i) {
        if (SUCCEEDED(set.added[i].error)) continue;
        WriteErr(L"opcclient: unknown item " + set.reports[i].item + L": " +
                 ErrorCell(set.reports[i]) + L"\n");
        any = true;
    }
    return any;
}
