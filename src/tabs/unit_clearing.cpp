#include "tabs/unit_clearing.h"

#include "device/connect_device.h"

namespace tabs {

UnitClearing::~UnitClearing() {
    Close();
}

void UnitClearing::Begin(ZQNET_HANDLE connection, ClearFunction clear, Unit unit) {
    Close();
    open_ = true;
    cleared_ = false;
    owns_connection_ = false;
    ticks_done_ = false;
    ++serial_;
    connection_ = connection;
    clear_ = std::move(clear);
    unit_ = std::move(unit);
    ticks_.Reset();
}

bool UnitClearing::Attempt() {
    if (!open_)
        return cleared_;
    cleared_ = connection_ != 0 && clear_(connection_);
    if (cleared_)
        Close();
    return cleared_;
}

void UnitClearing::Adopt(ZQNET_HANDLE connection) {
    if (open_ && connection == connection_)
        owns_connection_ = true;
    else if (connection != 0)
        StopDevice(&connection);  // not this clearing's: nobody else will stop it
}

bool UnitClearing::Tick() {
    if (ticks_.Tick())
        ticks_done_ = true;
    return ticks_done_;
}

std::optional<UnitClearing::Unit> UnitClearing::Close() {
    if (!open_)
        return std::nullopt;
    open_ = false;
    if (owns_connection_)
        StopDevice(&connection_);
    connection_ = 0;
    owns_connection_ = false;
    if (cleared_)
        return std::nullopt;
    return unit_;
}

}  // namespace tabs
