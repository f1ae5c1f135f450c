#pragma once

namespace brindlet {

// The gate's time limits, in seconds.
struct AuthTimeouts {
  double response = 10;  // to answer the challenge
  double pairing = 120;  // to complete pairing, from the notPaired answer
  double confirm = 60;   // for the user to accept a compared code
  double flush = 0.2;    // between a final refusal and closing the connection
};

}  // namespace brindlet
