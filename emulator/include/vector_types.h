// Vector types of the CUDA toolkit for the host compiler, with the toolkit's sizes and alignments
// (float4 is 16 bytes aligned to 16, short2 and char4 4 bytes aligned to 4, three-component types
// are aligned like their element). Kernels read packed data through these types, so a wrong
// alignment here would hide a misaligned access that faults on a GPU.
#pragma once

struct char1 {
  signed char x;
};
struct alignas(2) char2 {
  signed char x;
  signed char y;
};
struct char3 {
  signed char x;
  signed char y;
  signed char z;
};
struct alignas(4) char4 {
  signed char x;
  signed char y;
  signed char z;
  signed char w;
};

struct uchar1 {
  unsigned char x;
};
struct alignas(2) uchar2 {
  unsigned char x;
  unsigned char y;
};
struct uchar3 {
  unsigned char x;
  unsigned char y;
  unsigned char z;
};
struct alignas(4) uchar4 {
  unsigned char x;
  unsigned char y;
  unsigned char z;
  unsigned char w;
};

struct short1 {
  short x;
};
struct alignas(4) short2 {
  short x;
  short y;
};
struct short3 {
  short x;
  short y;
  short z;
};
struct alignas(8) short4 {
  short x;
  short y;
  short z;
  short w;
};

struct ushort1 {
  unsigned short x;
};
struct alignas(4) ushort2 {
  unsigned short x;
  unsigned short y;
};
struct ushort3 {
  unsigned short x;
  unsigned short y;
  unsigned short z;
};
struct alignas(8) ushort4 {
  unsigned short x;
  unsigned short y;
  unsigned short z;
  unsigned short w;
};

struct int1 {
  int x;
};
struct alignas(8) int2 {
  int x;
  int y;
};
struct int3 {
  int x;
  int y;
  int z;
};
struct alignas(16) int4 {
  int x;
  int y;
  int z;
  int w;
};

struct uint1 {
  unsigned int x;
};
struct alignas(8) uint2 {
  unsigned int x;
  unsigned int y;
};
struct uint3 {
  unsigned int x;
  unsigned int y;
  unsigned int z;
};
struct alignas(16) uint4 {
  unsigned int x;
  unsigned int y;
  unsigned int z;
  unsigned int w;
};

struct long1 {
  long x;
};
struct alignas(16) long2 {
  long x;
  long y;
};
struct long3 {
  long x;
  long y;
  long z;
};
struct alignas(16) long4_16a {
  long x;
  long y;
  long z;
  long w;
};
struct alignas(32) long4_32a {
  long x;
  long y;
  long z;
  long w;
};

struct ulong1 {
  unsigned long x;
};
struct alignas(16) ulong2 {
  unsigned long x;
  unsigned long y;
};
struct ulong3 {
  unsigned long x;
  unsigned long y;
  unsigned long z;
};
struct alignas(16) ulong4_16a {
  unsigned long x;
  unsigned long y;
  unsigned long z;
  unsigned long w;
};
struct alignas(32) ulong4_32a {
  unsigned long x;
  unsigned long y;
  unsigned long z;
  unsigned long w;
};

struct float1 {
  float x;
};
struct alignas(8) float2 {
  float x;
  float y;
};
struct float3 {
  float x;
  float y;
  float z;
};
struct alignas(16) float4 {
  float x;
  float y;
  float z;
  float w;
};

struct longlong1 {
  long long x;
};
struct alignas(16) longlong2 {
  long long x;
  long long y;
};
struct longlong3 {
  long long x;
  long long y;
  long long z;
};
struct alignas(16) longlong4_16a {
  long long x;
  long long y;
  long long z;
  long long w;
};
struct alignas(32) longlong4_32a {
  long long x;
  long long y;
  long long z;
  long long w;
};

struct ulonglong1 {
  unsigned long long x;
};
struct alignas(16) ulonglong2 {
  unsigned long long x;
  unsigned long long y;
};
struct ulonglong3 {
  unsigned long long x;
  unsigned long long y;
  unsigned long long z;
};
struct alignas(16) ulonglong4_16a {
  unsigned long long x;
  unsigned long long y;
  unsigned long long z;
  unsigned long long w;
};
struct alignas(32) ulonglong4_32a {
  unsigned long long x;
  unsigned long long y;
  unsigned long long z;
  unsigned long long w;
};

struct double1 {
  double x;
};
struct alignas(16) double2 {
  double x;
  double y;
};
struct double3 {
  double x;
  double y;
  double z;
};
struct alignas(16) double4_16a {
  double x;
  double y;
  double z;
  double w;
};
struct alignas(32) double4_32a {
  double x;
  double y;
  double z;
  double w;
};

// make_* constructors, as the toolkit provides them.
inline char1 make_char1(signed char x) { return char1{x}; }
inline char2 make_char2(signed char x, signed char y) { return char2{x, y}; }
inline char3 make_char3(signed char x, signed char y, signed char z) { return char3{x, y, z}; }
inline char4 make_char4(signed char x, signed char y, signed char z, signed char w) {
  return char4{x, y, z, w};
}

inline uchar1 make_uchar1(unsigned char x) { return uchar1{x}; }
inline uchar2 make_uchar2(unsigned char x, unsigned char y) { return uchar2{x, y}; }
inline uchar3 make_uchar3(unsigned char x, unsigned char y, unsigned char z) {
  return uchar3{x, y, z};
}
inline uchar4 make_uchar4(unsigned char x, unsigned char y, unsigned char z, unsigned char w) {
  return uchar4{x, y, z, w};
}

inline short1 make_short1(short x) { return short1{x}; }
inline short2 make_short2(short x, short y) { return short2{x, y}; }
inline short3 make_short3(short x, short y, short z) { return short3{x, y, z}; }
inline short4 make_short4(short x, short y, short z, short w) { return short4{x, y, z, w}; }

inline ushort1 make_ushort1(unsigned short x) { return ushort1{x}; }
inline ushort2 make_ushort2(unsigned short x, unsigned short y) { return ushort2{x, y}; }
inline ushort3 make_ushort3(unsigned short x, unsigned short y, unsigned short z) {
  return ushort3{x, y, z};
}
inline ushort4 make_ushort4(unsigned short x, unsigned short y, unsigned short z,
                            unsigned short w) {
  return ushort4{x, y, z, w};
}

inline int1 make_int1(int x) { return int1{x}; }
inline int2 make_int2(int x, int y) { return int2{x, y}; }
inline int3 make_int3(int x, int y, int z) { return int3{x, y, z}; }
inline int4 make_int4(int x, int y, int z, int w) { return int4{x, y, z, w}; }

inline uint1 make_uint1(unsigned int x) { return uint1{x}; }
inline uint2 make_uint2(unsigned int x, unsigned int y) { return uint2{x, y}; }
inline uint3 make_uint3(unsigned int x, unsigned int y, unsigned int z) { return uint3{x, y, z}; }
inline uint4 make_uint4(unsigned int x, unsigned int y, unsigned int z, unsigned int w) {
  return uint4{x, y, z, w};
}

inline long1 make_long1(long x) { return long1{x}; }
inline long2 make_long2(long x, long y) { return long2{x, y}; }
inline long3 make_long3(long x, long y, long z) { return long3{x, y, z}; }
inline long4_16a make_long4_16a(long x, long y, long z, long w) { return long4_16a{x, y, z, w}; }
inline long4_32a make_long4_32a(long x, long y, long z, long w) { return long4_32a{x, y, z, w}; }

inline ulong1 make_ulong1(unsigned long x) { return ulong1{x}; }
inline ulong2 make_ulong2(unsigned long x, unsigned long y) { return ulong2{x, y}; }
inline ulong3 make_ulong3(unsigned long x, unsigned long y, unsigned long z) {
  return ulong3{x, y, z};
}
inline ulong4_16a make_ulong4_16a(unsigned long x, unsigned long y, unsigned long z,
                                  unsigned long w) {
  return ulong4_16a{x, y, z, w};
}
inline ulong4_32a make_ulong4_32a(unsigned long x, unsigned long y, unsigned long z,
                                  unsigned long w) {
  return ulong4_32a{x, y, z, w};
}

// The float vectors are built in one vector register, so that storing one is a single access of its
// full width here too, as the GPU's vector store is (member by member, the host compiler would
// store them one element at a time, and the memory-access profile would count a request per
// element).
template <class V, class E, class... A>
inline V kr_emu_vector(A... elements) {
  typedef E raw __attribute__((vector_size(sizeof(V))));
  const raw v = {elements...};
  V r;
  __builtin_memcpy(&r, &v, sizeof r);
  return r;
}

inline float1 make_float1(float x) { return float1{x}; }
inline float2 make_float2(float x, float y) { return kr_emu_vector<float2, float>(x, y); }
inline float3 make_float3(float x, float y, float z) { return float3{x, y, z}; }
inline float4 make_float4(float x, float y, float z, float w) {
  return kr_emu_vector<float4, float>(x, y, z, w);
}

inline longlong1 make_longlong1(long long x) { return longlong1{x}; }
inline longlong2 make_longlong2(long long x, long long y) { return longlong2{x, y}; }
inline longlong3 make_longlong3(long long x, long long y, long long z) {
  return longlong3{x, y, z};
}
inline longlong4_16a make_longlong4_16a(long long x, long long y, long long z, long long w) {
  return longlong4_16a{x, y, z, w};
}
inline longlong4_32a make_longlong4_32a(long long x, long long y, long long z, long long w) {
  return longlong4_32a{x, y, z, w};
}

inline ulonglong1 make_ulonglong1(unsigned long long x) { return ulonglong1{x}; }
inline ulonglong2 make_ulonglong2(unsigned long long x, unsigned long long y) {
  return ulonglong2{x, y};
}
inline ulonglong3 make_ulonglong3(unsigned long long x, unsigned long long y,
                                  unsigned long long z) {
  return ulonglong3{x, y, z};
}
inline ulonglong4_16a make_ulonglong4_16a(unsigned long long x, unsigned long long y,
                                          unsigned long long z, unsigned long long w) {
  return ulonglong4_16a{x, y, z, w};
}
inline ulonglong4_32a make_ulonglong4_32a(unsigned long long x, unsigned long long y,
                                          unsigned long long z, unsigned long long w) {
  return ulonglong4_32a{x, y, z, w};
}

inline double1 make_double1(double x) { return double1{x}; }
inline double2 make_double2(double x, double y) { return double2{x, y}; }
inline double3 make_double3(double x, double y, double z) { return double3{x, y, z}; }
inline double4_16a make_double4_16a(double x, double y, double z, double w) {
  return double4_16a{x, y, z, w};
}
inline double4_32a make_double4_32a(double x, double y, double z, double w) {
  return double4_32a{x, y, z, w};
}
// Launch dimensions: unset components default to 1.
struct dim3 {
  unsigned int x, y, z;
  constexpr dim3(unsigned int vx = 1, unsigned int vy = 1, unsigned int vz = 1)
      : x(vx), y(vy), z(vz) {}
  constexpr dim3(uint3 v) : x(v.x), y(v.y), z(v.z) {}
  constexpr operator uint3() const { return uint3{x, y, z}; }
};

static_assert(sizeof(char4) == 4 && alignof(char4) == 4, "char4 layout");
static_assert(sizeof(short2) == 4 && alignof(short2) == 4, "short2 layout");
static_assert(sizeof(short4) == 8 && alignof(short4) == 8, "short4 layout");
static_assert(sizeof(int3) == 12 && alignof(int3) == 4, "int3 layout");
static_assert(sizeof(float2) == 8 && alignof(float2) == 8, "float2 layout");
static_assert(sizeof(float3) == 12 && alignof(float3) == 4, "float3 layout");
static_assert(sizeof(float4) == 16 && alignof(float4) == 16, "float4 layout");
static_assert(sizeof(double2) == 16 && alignof(double2) == 16, "double2 layout");
static_assert(sizeof(longlong4_32a) == 32 && alignof(longlong4_32a) == 32, "longlong4_32a layout");
