/* The I/O floor of one analysis: start, read the waveform file through,
 * write a file of the spectrum's size over the old one (as wavespec does),
 * through one 64 KiB buffer. Usage: io_floor INPUT OUTPUT BYTES */
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

int main(int argc, char **argv) {
  static char block[1 << 16];
  if (argc != 4)
    return 2;
  const int in = open(argv[1], O_RDONLY);
  ssize_t n;
  unsigned sum = 0;
  while (in >= 0 && (n = read(in, block, sizeof block)) > 0)
    sum += (unsigned char)block[n / 2]; /* the output depends on the input */
  const int out = open(argv[2], O_WRONLY | O_CREAT, 0666);
  if (in < 0 || out < 0)
    return 2;
  const size_t bytes = strtoul(argv[3], NULL, 10);
  for (size_t i = 0; i < sizeof block; ++i)
    block[i] = (char)('0' + (sum + i) % 10);
  for (size_t done = 0; done < bytes; done += (size_t)n)
    if ((n = write(out, block, bytes - done < sizeof block ? bytes - done : sizeof block)) <= 0)
      return 2;
  return ftruncate(out, (off_t)bytes) == 0 && close(out) == 0 ? 0 : 2;
}
