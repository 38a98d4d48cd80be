#include "handheld.h"
#include "tarvix.h"

namespace desk {
namespace {

class Tarvix final : public HandheldLink {
  public:
    int32_t thrdGetHcNum(int32_t port, int32_t baud_rate, char* number) override {
        return ::thrdGetHcNum(port, baud_rate, number);
    }
    int32_t SendFileToHc(int32_t port, int32_t baud_rate, const char* hc_name, const char* pc_path,
                         int32_t reserved, int32_t overwrite) override {
        return ::SendFileToHc(port, baud_rate, hc_name, pc_path, reserved, overwrite);
    }
    int32_t GetHcFile(int32_t port, int32_t baud_rate, const char* hc_path, const char* pc_path,
                      int32_t overwrite) override {
        return ::GetHcFile(port, baud_rate, hc_path, pc_path, overwrite);
    }
    int32_t thrdQueryPercent() override { return ::thrdQueryPercent(); }
    int32_t thrdStop(int32_t how) override { return ::thrdStop(how); }
};

}  // namespace

HandheldLink& TarvixLink() {
    static Tarvix link;
    return link;
}

}  // namespace desk
