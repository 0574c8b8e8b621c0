/* SPDX-License-Identifier: MIT (see LICENSE) */
/* kel external SDK: everything an external object library needs. */
#ifndef KEL_KEL_H
#define KEL_KEL_H

/* In dependency order: the basic types first. */
/* clang-format off */
#include "kel/base.h"
#include "kel/words.h"
#include "kel/symbols.h"
#include "kel/atoms.h"
#include "kel/memory.h"
#include "kel/console.h"
#include "kel/classes.h"
#include "kel/linklist.h"
#include "kel/hashtab.h"
#include "kel/attributes.h"
#include "kel/registry.h"
#include "kel/binbuf.h"
#include "kel/patchfile.h"
#include "kel/preferences.h"
#include "kel/outlets.h"
#include "kel/path.h"
#include "kel/sysfile.h"
#include "kel/collective.h"
#include "kel/dict.h"
#include "kel/connection.h"
#include "kel/creation.h"
#include "kel/expr.h"
#include "kel/patcher.h"
#include "kel/clocks.h"
#include "kel/sched.h"
#include "kel/threads.h"
#include "kel/app.h"
#include "kel/midi.h"
/* clang-format on */

#endif /* KEL_KEL_H */
