#include "server/formula_refs.h"
