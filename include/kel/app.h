/* SPDX-License-Identifier: MIT (see LICENSE) */
/* kel external SDK: application services. */
#ifndef KEL_APP_H
#define KEL_APP_H

#include "kel/base.h"

KEL_BEGIN_C

/* Quit tasks run when the application quits, newest first, each called once
 * as fn(arg). */
KEL_API void quittask_install(kel_method fn, void *arg);
/* Removes the newest task with that function. */
KEL_API void quittask_remove(kel_method fn);
/* Removes the newest task with that function and argument. */
KEL_API void quittask_remove2(kel_method fn, void *arg);

KEL_END_C

#endif /* KEL_APP_H */
