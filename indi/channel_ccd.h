// One channel of the KX29 board as an INDI CCD device ("KX29 Channel N"), a client of the
// daemon through the client library.
#pragma once

#include "frame.h"
#include "worker.h"

#include "indiccd.h"
#include "indipropertynumber.h"
#include "indipropertyswitch.h"
#include "kx29/acquire.h"
#include "kx29/control.h"

#include <memory>
#include <optional>
#include <string>

namespace kx29indi {

class ChannelCcd : public INDI::CCD {
public:
    explicit ChannelCcd(int channel);

    bool ISNewNumber(const char* dev, const char* name, double values[], char* names[], int n) override;
    bool ISNewSwitch(const char* dev, const char* name, ISState* states, char* names[], int n) override;

protected:
    const char* getDefaultName() override;
    bool initProperties() override;
    bool updateProperties() override;
    bool Connect() override;
    bool Disconnect() override;
    void TimerHit() override;

    bool StartExposure(float duration) override;
    bool AbortExposure() override;
    bool UpdateCCDFrame(int x, int y, int w, int h) override;
    bool UpdateCCDBin(int hor, int ver) override;
    bool StartStreaming() override;
    bool StopStreaming() override;
    void addFITSKeywords(INDI::CCDChip* chip) override;
    bool saveConfigItems(FILE* fp) override;

private:
    // What a job needs of the device, copied when it is posted.
    struct Shot {
        std::shared_ptr<kx29::Segment> segment;
        kx29::AcquireRequest request;
        int binx = 1;
        int biny = 1;
        bool estimated = false;  // the exposure's time left was estimated at its start
    };

    kx29::AcquireRequest request_for_frame() const;
    Shot shot(const kx29::AcquireRequest& req) const;
    void run_exposure(const Shot& shot, std::stop_token stop);
    void run_stream(const Shot& shot, std::stop_token stop);
    void deliver_exposure(const Frame16& frame, const kx29::Image& img);
    void fail_exposure(const std::string& why);
    std::string outcome_message(const kx29::AcquireResult& r) const;
    void note_interval(double seconds);
    bool daemon_alive();

    void refresh_from_record();
    void define_board_properties();
    void delete_board_properties();
    bool refuse(INDI::Property prop, const std::string& why);
    bool set_record_number(INDI::PropertyNumber& prop, double values[], char* names[], int n);
    void run_board_request(INDI::PropertySwitch& prop,
                           std::function<void(kx29::Channel&, const kx29::StopFn&)> request, bool geometry_changes);
    bool busy() const;

    const int channel_;
    const std::string name_;
    std::shared_ptr<kx29::Segment> segment_;  // shared with the jobs that use it
    bool tandem_ = false;
    bool ccd_correction_ = false;
    int daemon_pid_ = 0;  // of the daemon last seen serving; 0 once its end was said
    bool board_request_pending_ = false;  // format, show or reload under way
    int timer_id_ = -1;
    std::optional<double> frame_interval_;  // seconds between frames last measured here
    FrameHeader header_;  // of the image in the frame buffer; under ccdBufferLock

    // Board controls
    INDI::PropertySwitch format_sp_{2};
    INDI::PropertyNumber ref_lev_np_{1};
    INDI::PropertySwitch ccd_sp_{2};
    INDI::PropertyNumber bias_np_{1};
    INDI::PropertySwitch show_sp_{1};
    INDI::PropertySwitch reload_sp_{1};
    INDI::PropertyNumber pixel_size_np_{2};

    Worker worker_;  // last: its thread ends before the members above go
};

}  // namespace kx29indi
