/* One conversion through the library's convert call, as a program that
 * embeds the library makes it:  api_convert SOURCE DESTINATION */
#include <stdio.h>

#include "yvn2psd.h"

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  yvn2psd_options o;
  yvn2psd_options_init(&o);
  o.overwrite = 1;
  if (yvn2psd_convert_file(argv[1], argv[2], &o) != YVN2PSD_OK) {
    fprintf(stderr, "%s\n", yvn2psd_last_error_message());
    return 1;
  }
  return 0;
}
