#include "e2e_support.h"
