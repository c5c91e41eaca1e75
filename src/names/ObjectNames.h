/* The monitor's named objects, which the monitor, every reader and every
   publisher must call by the same names: the mutex that guards the record
   and the file mapping (the region) that holds it. On Windows these are the
   kernel objects' names; on Linux each is the file /dev/shm/<name>.<uid>.

   Plain string literals, so that C and C++ take them alike; a prefix before
   them makes the wide forms: u"" VANTORIX_MUTEX_NAME, L"" VANTORIX_MUTEX_NAME. */
#ifndef VANTORIX_OBJECT_NAMES_H
#define VANTORIX_OBJECT_NAMES_H

#define VANTORIX_MUTEX_NAME "VantorixMutexObject"
#define VANTORIX_MAPPING_NAME "VantorixMappingObject"

#endif /* VANTORIX_OBJECT_NAMES_H */
