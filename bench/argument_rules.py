"""The five argument-only checks that the Python and server benchmarks screen with, as the
C++ benchmarks' ArgumentOnlyRules writes them."""

ARGUMENT_ONLY = """\
sharp_increase    txscreen   SHARPINCREASE    amount previous_amount 400
over_limit        txscreen   OVERCREDITLIMIT  amount credit_limit
bad_account       txscreen   BADACCOUNT       account "ACC-6661"
batch_user_moved  txscreen   SPECIAL_USER     "svc-batch" registered_terminal user terminal
same_zip_offline  txscreen2  SAMEZIPCODE      billing_zip shipping_zip channel
"""
