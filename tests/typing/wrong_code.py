"""Calls a type checker must reject: text for a number, a wrong keyword, a bad result type."""

import vindral

vindral.v_k_2_c("8.0", 2.0)
vindral.c_k_2_v(c=10.0, shape=2.0)
result: str = vindral.wbl_cdf(10.0, 2.0, 5.0, 10.0)
