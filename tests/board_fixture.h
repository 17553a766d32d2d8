// A fixture that gives the daemon four records and a fresh test board.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "kx29.h"
#include "kx29_io.h"
#include "kx29_test_ports.h"

namespace kx29t {

class BoardTest : public testing::Test {
protected:
    // Also called again to start a case of a table afresh.
    void SetUp() override {
        kx29test::reset_test_board();
        base_port_29 = board().base;
        records_ = std::make_unique<TVchan[]>(KX29_CHANNELS);
        for (int i = 0; i < KX29_CHANNELS; ++i) {
            TVchan& r = records_[i];
            r.num = i;
            r.form = r.next_form = 1;
            r.ref_lev = 60;
            r.img_width = r.frm_width = chan[i]->cols1;
            r.img_height = r.frm_height = chan[i]->lines1;
            tvch[i] = &r;
        }
        curch = tvch[0];
    }
    static kx29test::TestBoard& board() { return kx29test::test_board(); }

    std::unique_ptr<TVchan[]> records_;
};

}  // namespace kx29t
