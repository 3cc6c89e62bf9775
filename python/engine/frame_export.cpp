#include "python/engine/frame_export.hpp"

#include <memory>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "core/spec/panel_kinds.hpp"
#include "python/engine/array_block.hpp"

namespace vorn::python {
namespace {

// The packed event records of the liquidation map as the package's NumPy dtype reads them.
static_assert(sizeof(LiquidationMapEvent) == 32 && offsetof(LiquidationMapEvent, ts) == 0 &&
              offsetof(LiquidationMapEvent, price_bin) == 8 && offsetof(LiquidationMapEvent, qty) == 16 &&
              offsetof(LiquidationMapEvent, side) == 24 && sizeof(LiquidationSide) == 1);

// Builds one panel's dict; every step may fail with an exception set, after which the dict is
// dropped.
class PanelDict {
public:
    // A dict with a "kind" member unless `kind` is empty.
    PanelDict(std::shared_ptr<const void> owner, std::string_view kind) : owner_(std::move(owner)), dict_(PyDict_New()) {
        if (dict_ != nullptr && !kind.empty()) {
            set("kind", PyUnicode_FromStringAndSize(kind.data(), static_cast<Py_ssize_t>(kind.size())));
        }
    }
    PanelDict(const PanelDict&) = delete;
    PanelDict& operator=(const PanelDict&) = delete;
    ~PanelDict() { Py_XDECREF(dict_); }

    void floats(const char* key, const std::vector<double>& values) {
        set(key, make_block(owner_, values.data(), BlockFormat::Float64, values.size()));
    }
    void ints(const char* key, const std::vector<std::int64_t>& values) {
        set(key, make_block(owner_, values.data(), BlockFormat::Int64, values.size()));
    }
    // Any contiguous container of doubles (std::vector, PodVector).
    template <class Doubles>
    void matrix(const char* key, const Doubles& values, std::size_t rows, std::size_t columns) {
        set(key, make_block(owner_, values.data(), BlockFormat::Float64, rows, columns));
    }
    void number(const char* key, double value) { set(key, PyFloat_FromDouble(value)); }
    void bytes(const char* key, const void* data, std::size_t size) {
        set(key, make_block(owner_, data, BlockFormat::Bytes, size));
    }

    // The finished dict (new reference), or null when a step failed.
    PyObject* release() {
        if (failed_) return nullptr;
        return std::exchange(dict_, nullptr);
    }

private:
    void set(const char* key, PyObject* value) {
        if (failed_ || dict_ == nullptr || value == nullptr || PyDict_SetItemString(dict_, key, value) < 0) {
            failed_ = true;
        }
        Py_XDECREF(value);
    }

    std::shared_ptr<const void> owner_;
    PyObject* dict_;
    bool failed_ = false;
};

// Each kind's members as buffer blocks.
void export_members(PanelDict& d, const PanelData::Footprint& p, bool) {
    d.floats("price_bins", p.price_bins);
    d.floats("buy_vol", p.buy_vol);
    d.floats("sell_vol", p.sell_vol);
}
void export_members(PanelDict& d, const PanelData::BookHeatmap& p, bool detail) {
    d.ints("time", p.time);
    d.floats("price", p.price);
    d.matrix("intensity", p.intensity, p.time.size(), p.price.size());
    if (detail) {
        d.matrix("bid_intensity", p.bid_intensity, p.time.size(), p.price.size());
        d.matrix("ask_intensity", p.ask_intensity, p.time.size(), p.price.size());
        d.floats("last_price", p.last_price);
        d.floats("mid", p.mid);
    }
}
void export_members(PanelDict& d, const PanelData::LiquidationMap& p, bool) {
    d.bytes("events", p.events.data(), p.events.size() * sizeof(LiquidationMapEvent));
}
void export_members(PanelDict& d, const PanelData::FundingOiDivergence& p, bool) {
    d.ints("time", p.time);
    d.floats("funding", p.funding);
    d.floats("oi", p.oi);
    d.floats("price", p.price);
}

PyObject* export_panel(const std::shared_ptr<const Frame>& owner, const PanelData& panel, bool detail, bool grid_mid) {
    PanelDict d(owner, panel_tag(panel.value.index()));
    std::visit([&](const auto& p) { export_members(d, p, detail); }, panel.value);
    if (const auto* heatmap = std::get_if<PanelData::BookHeatmap>(&panel.value); heatmap != nullptr && grid_mid) {
        d.number("grid_mid", heatmap->grid_mid);
    }
    return d.release();
}

}  // namespace

PyObject* export_frame(Frame frame, bool detail, bool grid_mid) {
    std::shared_ptr<const Frame> owner;
    try {
        owner = std::make_shared<const Frame>(std::move(frame));
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    PyObject* panels = PyList_New(static_cast<Py_ssize_t>(owner->panels.size()));
    if (panels == nullptr) return nullptr;
    for (std::size_t i = 0; i < owner->panels.size(); ++i) {
        PyObject* panel = export_panel(owner, owner->panels[i], detail, grid_mid);
        if (panel == nullptr) {
            Py_DECREF(panels);
            return nullptr;
        }
        PyList_SetItem(panels, static_cast<Py_ssize_t>(i), panel);
    }
    PyObject* symbol = PyUnicode_DecodeUTF8(owner->symbol.data(), static_cast<Py_ssize_t>(owner->symbol.size()),
                                            "replace");
    PyObject* cursor = PyLong_FromLongLong(owner->cursor_ts);
    PyObject* result = symbol && cursor ? PyTuple_Pack(3, symbol, cursor, panels) : nullptr;
    Py_XDECREF(symbol);
    Py_XDECREF(cursor);
    Py_DECREF(panels);
    return result;
}

PyObject* export_clusters(std::int64_t cursor_ts, Clusters clusters) {
    std::shared_ptr<const Clusters> owner;
    try {
        owner = std::make_shared<const Clusters>(std::move(clusters));
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    PanelDict d(owner, {});
    d.ints("time", owner->time);
    d.floats("price", owner->price);
    d.matrix("buy_vol", owner->buy_vol, owner->time.size(), owner->price.size());
    d.matrix("sell_vol", owner->sell_vol, owner->time.size(), owner->price.size());
    PyObject* dict = d.release();
    if (dict == nullptr) return nullptr;
    return pair_of_new(PyLong_FromLongLong(cursor_ts), dict);
}

PyObject* export_bars(Bars bars) {
    std::shared_ptr<const Bars> owner;
    try {
        owner = std::make_shared<const Bars>(std::move(bars));
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    const Bars& b = *owner;
    PanelDict d(owner, {});
    const std::pair<const char*, const std::vector<double>*> columns[] = {
        {"open", &b.open}, {"high", &b.high}, {"low", &b.low}, {"close", &b.close}, {"volume", &b.volume},
        {"buy_volume", &b.buy_volume}, {"sell_volume", &b.sell_volume}, {"delta", &b.delta},
        {"cum_delta", &b.cum_delta}, {"vwap", &b.vwap}, {"liquidated_long", &b.liquidated_long},
        {"liquidated_short", &b.liquidated_short}, {"funding_rate", &b.funding_rate},
        {"open_interest", &b.open_interest},
    };
    for (const auto& [name, values] : columns) d.floats(name, *values);
    d.ints("trades", b.trades);
    return d.release();
}

PyObject* export_book_features(BookFeatures features, std::size_t depths) {
    std::shared_ptr<const BookFeatures> owner;
    try {
        owner = std::make_shared<const BookFeatures>(std::move(features));
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    const std::size_t rows = owner->best_bid.size();
    PanelDict d(owner, {});
    d.floats("best_bid", owner->best_bid);
    d.floats("best_ask", owner->best_ask);
    d.floats("mid", owner->mid);
    d.floats("spread", owner->spread);
    d.matrix("bid_depth", owner->bid_depth, rows, depths);
    d.matrix("ask_depth", owner->ask_depth, rows, depths);
    d.matrix("imbalance", owner->imbalance, rows, depths);
    return d.release();
}

}  // namespace vorn::python
