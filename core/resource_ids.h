// Resource identifiers both control libraries carry. Plain defines: the
// resource compiler reads this file too.
#pragma once

// The toolbox picture (16 x 15, 16 colours), named in the registration.
#define TOOLBOX_BITMAP_ID 30000
