int zfault_placeholder;
