/* The zip utility's interface: AddFileToZip, exported by hlu.so with plain linkage (README.md
 * of this directory describes the codes). */
#ifndef HLU_H
#define HLU_H

#ifdef __cplusplus
extern "C" {
#endif

#define HLU_OK 0
#define HLU_E_ARGUMENT 1 /* a null or empty path */
#define HLU_E_SOURCE 2   /* the file to add cannot be opened as a regular file */
#define HLU_E_ARCHIVE 3  /* the zip exists but is not a sound archive, or cannot be opened */
#define HLU_E_ADD 4      /* the entry cannot be added */
#define HLU_E_WRITE 5    /* the new zip cannot be written or renamed into place */
#define HLU_E_MEMORY 6   /* out of memory */

/* Adds the file `filePath` to the zip `zipPath` (created when missing) as the entry named by the
 * file's base name, deflated, replacing an entry of that name. */
int AddFileToZip(char* zipPath, char* filePath);

#ifdef __cplusplus
}
#endif

#endif
