#ifndef QUILLMARK_VERSION_H
#define QUILLMARK_VERSION_H

// Only the build number varies, so the installer's upgrade path can be
// exercised with a second, otherwise identical, program.
#ifndef QUILLMARK_VERSION_BUILD
#define QUILLMARK_VERSION_BUILD 1
#endif

#define QM_STR2(x) #x
#define QM_STR(x) QM_STR2(x)
#define QUILLMARK_VERSION_STRING "1.0.0." QM_STR(QUILLMARK_VERSION_BUILD)

#endif
