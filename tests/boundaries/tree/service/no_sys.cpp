// refused: operating-system header outside lib/platform
  #  include   <sys/wait.h>  // spaced
