// The whole document model in one include.
#pragma once
#include "kzm/cell.h"
#include "kzm/geometry.h"
#include "kzm/image_context.h"
#include "kzm/main_context.h"
#include "kzm/mempool.h"
#include "kzm/pi_folder.h"
#include "kzm/pi_image.h"
#include "kzm/pix_iterator.h"
#include "kzm/plane.h"
#include "kzm/snapshot.h"
#include "kzm/tile.h"
